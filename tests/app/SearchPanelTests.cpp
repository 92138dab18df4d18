#include "NexdirError.h"
#include "SearchPanelController.h"
#include "TestSupport.h"

#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <atomic>
#include <thread>

using namespace nexdir;
using quelmo::SearchPanelController;

class SearchPanelTests : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDirectory> folder;
    std::unique_ptr<SearchIndex> index;
    std::unique_ptr<NameSearch> names;
    std::unique_ptr<DispatchQueue> queue;
    std::unique_ptr<SearchPanelController> panel;
    std::atomic<int> searches{0};
    std::string existingFile;

    // Counts the queries that reach the index; `delay` holds a query named "slow" back.
    void countSearches(int slowMilliseconds = 0) {
        panel->setSearchFunction(
            [this, slowMilliseconds](const std::string& query, int limit,
                                     const std::shared_ptr<SearchCancellation>& token) {
                searches++;
                if (query == "slow") {
                    std::this_thread::sleep_for(std::chrono::milliseconds(slowMilliseconds));
                }
                return names->search(query, limit, token);
            });
    }
    bool settle(int timeout = 3000) {
        QSignalSpy settled(panel.get(), &SearchPanelController::searchSettled);
        return settled.wait(timeout);
    }
    int selectedRow() {
        auto rows = panel->table()->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows.front().row() : -1;
    }

private Q_SLOTS:
    void init() {
        folder = std::make_unique<test::TempDirectory>();
        index = std::make_unique<SearchIndex>(*folder / "index.sqlite3");
        test::TreeBuilder tree(*index, "/");
        int64_t projects = tree.folder(tree.root(), "projects");
        for (const char* name : {"abc-report.txt", "abc-notes.txt", "abc-plan.txt", "slow.txt"}) {
            tree.file(projects, name);
        }
        existingFile = *folder / "abc-real.txt";
        test::writeFile(existingFile, "x");
        test::TreeBuilder real(*index, folder->path());
        real.file(real.root(), "abc-real.txt");
        queue = std::make_unique<DispatchQueue>("nexdir.search");
        names = std::make_unique<NameSearch>(*index);
        panel = std::make_unique<SearchPanelController>(
            *names, QString::fromStdString(*folder / "Trash"), *queue);
        searches = 0;
        countSearches();
        panel->show();
    }
    void cleanup() {
        queue.reset();
        panel.reset();
        names.reset();
        index.reset();
        folder.reset();
    }

    void typingWithinTheDebounceRunsOneQuery() {
        panel->searchField()->setText("ab");
        panel->searchField()->setText("abc");
        QVERIFY(settle());
        QTest::qWait(200);
        QCOMPARE(searches.load(), 1);
        QCOMPARE(panel->results().size(), size_t(4));
        QVERIFY(panel->statusLabel()->text().startsWith("4 results \u2022 "));
        QVERIFY(panel->statusLabel()->text().endsWith(" ms"));
    }

    void anOlderSlowerQueryIsDropped() {
        countSearches(400);
        panel->searchField()->setText("slow");
        QTest::qWait(150); // the slow query is running now
        panel->searchField()->setText("abc-plan");
        QVERIFY(settle());
        QTest::qWait(500); // the slow query's answer arrives and must not be shown
        QCOMPARE(panel->results().size(), size_t(1));
        QCOMPARE(panel->results().front().name, std::string("abc-plan.txt"));
    }

    void aRefreshDuringAQueryRunsOnceAfterIt() {
        countSearches(300);
        panel->searchField()->setText("slow");
        QTest::qWait(150);
        QVERIFY(panel->isLoading());
        panel->refreshResults();
        panel->refreshResults();
        QVERIFY(settle());
        QVERIFY(settle(2000)); // the refresh's own query
        QTest::qWait(700);
        QCOMPARE(searches.load(), 2);
    }

    void aBlankQueryShowsTheIndexStatusWithoutSearching() {
        panel->setIndexStatus("Index ready \u2022 watching for changes");
        panel->searchField()->setText("   ");
        QTest::qWait(200);
        QCOMPARE(searches.load(), 0);
        QVERIFY(panel->results().empty());
        QCOMPARE(panel->statusLabel()->text(), QString("Index ready \u2022 watching for changes"));
    }

    void arrowsMoveTheSelection() {
        panel->searchField()->setText("abc");
        QVERIFY(settle());
        QCOMPARE(selectedRow(), 0);
        panel->table()->clearSelection();
        QTest::keyClick(panel->searchField(), Qt::Key_Down);
        QCOMPARE(selectedRow(), 1);
        QTest::keyClick(panel->searchField(), Qt::Key_Up);
        QTest::keyClick(panel->searchField(), Qt::Key_Up);
        QCOMPARE(selectedRow(), 0);
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(panel->table(), Qt::Key_Down);
        }
        QCOMPARE(selectedRow(), 3);
    }

    void controlCCopiesTheSelectedTextOrThePath() {
        panel->searchField()->setText("abc-plan");
        QVERIFY(settle());
        panel->searchField()->setFocus();
        panel->searchField()->selectAll();
        QTest::keyClick(panel->searchField(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("abc-plan"));

        panel->searchField()->deselect();
        QTest::keyClick(panel->searchField(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("/projects/abc-plan.txt"));
        QCOMPARE(panel->statusLabel()->text(), QString("Copied /projects/abc-plan.txt"));
    }

    void filesMovedToTheTrashStayHiddenUntilTheyReturn() {
        panel->movedToTrash().insert("/projects/abc-notes.txt");
        panel->movedToTrash().insert(existingFile); // it exists: restored, shown again
        panel->searchField()->setText("abc");
        QVERIFY(settle());
        std::vector<std::string> paths;
        for (const auto& result : panel->results()) {
            paths.push_back(result.path);
        }
        QCOMPARE(paths.size(), size_t(3));
        QVERIFY(std::find(paths.begin(), paths.end(), "/projects/abc-notes.txt") == paths.end());
        QVERIFY(std::find(paths.begin(), paths.end(), existingFile) != paths.end());
        QCOMPARE(panel->movedToTrash().size(), size_t(1));
    }

    void aFailedQueryOrAMissingFileOnlyChangesTheStatus() {
        panel->searchField()->setText("abc");
        QVERIFY(settle());
        auto before = panel->results();
        panel->setSearchFunction([](const std::string&, int,
                                    const std::shared_ptr<SearchCancellation>&) -> SearchResponse {
            throw NexdirError::database(11, "Search failed: database disk image is malformed");
        });
        panel->searchField()->setText("abc-");
        QVERIFY(settle());
        QCOMPARE(panel->statusLabel()->text(),
                 QString("Search failed: database disk image is malformed"));
        QCOMPARE(panel->results(), before);

        for (size_t row = 0; row < panel->results().size(); ++row) {
            if (panel->results()[row].path == "/projects/abc-notes.txt") {
                panel->table()->selectRow(int(row)); // indexed, but not on this disk
            }
        }
        panel->revealSelected();
        QVERIFY(panel->statusLabel()->text().startsWith("File no longer exists: /projects/"));
    }
};

QTEST_MAIN(SearchPanelTests)
#include "SearchPanelTests.moc"
