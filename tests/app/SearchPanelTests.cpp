#include "AppIcon.h"
#include "AppMenu.h"
#include "ApplicationChooser.h"
#include "MatchHighlight.h"
#include "NexdirError.h"
#include "PathText.h"
#include "ResultsModel.h"
#include "ResourcePanel.h"
#include "SearchPanelController.h"
#include "StatusIndicator.h"
#include "StatusLabel.h"
#include "TestSupport.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <random>
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
    // On disk and indexed, with names that are not UTF-8 (Latin-1 bytes).
    std::string oddFolder;
    std::string oddFile;
    // On disk and indexed, with a name too long for the status line.
    const std::string longName = "minutes of the quarterly planning meeting with every "
                                 "department head and the board, final revised version.txt";
    std::string longFile;

    // A desktop of the tests' own, in place of the user's: one application, the opener, is
    // the default for files and folders and writes the path it is given to `opened`; no other
    // application is registered and no file manager answers on the session bus.
    std::unique_ptr<test::TempDirectory> desktop;
    std::string opener;
    std::string opened;

    void setUpDesktop() {
        desktop = std::make_unique<test::TempDirectory>();
        opener = *desktop / "record-opened";
        opened = *desktop / "opened";
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(*desktop / "data"));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(*desktop / "config"));
        qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(*desktop / "system"));
        qputenv("DBUS_SESSION_BUS_ADDRESS",
                QByteArray::fromStdString("unix:path=" + *desktop / "no-bus"));
        std::filesystem::create_directories(*desktop / "data/applications");
        std::filesystem::create_directories(*desktop / "config");
        test::writeFile(opener, "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened + ".part' && mv '" +
                                    opened + ".part' '" + opened + "'\n");
        setOpenerInstalled(true);
        test::writeFile(
            *desktop / "data/applications/quelmo-test-opener.desktop",
            "[Desktop Entry]\nType=Application\nName=Quelmo Test Opener\nExec=" + opener +
                " %f\nMimeType=text/plain;application/octet-stream;inode/directory;\n");
        // An application for another type, which Open With › Other… lists after the opener.
        test::writeFile(*desktop / "data/applications/quelmo-test-viewer.desktop",
                        "[Desktop Entry]\nType=Application\nName=A Test Viewer\nExec=/bin/true "
                        "%f\nMimeType=image/png;\n");
        // Without a mimeinfo.cache beside it, GIO learns what the opener opens from here.
        std::string types;
        for (const char* type : {"text/plain", "application/octet-stream", "inode/directory"}) {
            types += std::string(type) + "=quelmo-test-opener.desktop\n";
        }
        test::writeFile(*desktop / "config/mimeapps.list",
                        "[Default Applications]\n" + types + "[Added Associations]\n" + types);
    }
    // An opener that cannot run is no application to GIO: nothing opens files or folders.
    void setOpenerInstalled(bool installed) { chmod(opener.c_str(), installed ? 0755 : 0644); }
    // The path the opener was given, or "" when it was not started in time.
    QByteArray waitForOpened() {
        bool started = QTest::qWaitFor([this] { return test::exists(opened); }, 5000);
        std::string path = started ? test::readFile(opened) : "";
        unlink(opened.c_str());
        return QByteArray::fromStdString(path);
    }
    // Paths compared as bytes, so a failure prints them.
    static QByteArray bytes(const std::string& path) { return QByteArray::fromStdString(path); }
    bool selectPath(const std::string& path) {
        for (size_t row = 0; row < panel->results().size(); ++row) {
            if (panel->results()[row].path == path) {
                panel->table()->selectRow(int(row));
            }
        }
        return panel->selectedResult() && panel->selectedResult()->path == path;
    }
    bool searchFor(const QString& query) {
        panel->searchField()->setText(query);
        return settle();
    }
    // A right-click, as the window system delivers it.
    static void rightClick(QWidget* widget, QPoint point) {
        QContextMenuEvent click(QContextMenuEvent::Mouse, point, widget->mapToGlobal(point));
        QApplication::sendEvent(widget, &click);
    }
    QPoint rowOf(const std::string& path) {
        const auto& rows = panel->results();
        auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const SearchResult& result) { return result.path == path; });
        return panel->table()
            ->visualRect(panel->table()->model()->index(int(row - rows.begin()), 0))
            .center();
    }
    // The items a menu shows ("" for a separator).
    static QStringList items(QMenu* menu) {
        QStringList texts;
        for (QAction* action : menu->actions()) {
            if (action->isVisible()) {
                texts << action->text();
            }
        }
        return texts;
    }

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
    void initTestCase() { setUpDesktop(); }
    void cleanupTestCase() { desktop.reset(); }

    void init() {
        folder = std::make_unique<test::TempDirectory>();
        index = std::make_unique<SearchIndex>(*folder / "index.sqlite3");
        test::TreeBuilder tree(*index, "/");
        int64_t projects = tree.folder(tree.root(), "projects");
        for (const char* name : {"abc-report.txt", "abc-notes.txt", "abc-plan.txt", "slow.txt"}) {
            tree.file(projects, name);
        }
        for (int page = 10; page < 34; ++page) { // several screens of results
            tree.file(projects, "page-" + std::to_string(page) + ".txt");
        }
        existingFile = *folder / "abc-real.txt";
        test::writeFile(existingFile, "x");
        test::TreeBuilder real(*index, folder->path());
        real.file(real.root(), "abc-real.txt");
        oddFolder = *folder / "dir-\xfe";
        oddFile = oddFolder + "/note-\xff.txt";
        std::filesystem::create_directory(oddFolder);
        test::writeFile(oddFile, "x");
        real.file(real.folder(real.root(), "dir-\xfe"), "note-\xff.txt");
        longFile = *folder / longName;
        test::writeFile(longFile, "x");
        real.file(real.root(), longName);
        setOpenerInstalled(true);
        unlink(opened.c_str());
        queue = std::make_unique<DispatchQueue>("nexdir.search");
        names = std::make_unique<NameSearch>(*index);
        panel = std::make_unique<SearchPanelController>(
            *names, QString::fromStdString(*folder / "Trash"), *queue);
        panel->setIndexStatus("Index ready \u2022 watching for changes");
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

    void openingAndShowingHandTheSystemThePathsBytes() {
        QVERIFY(searchFor("note-"));
        QVERIFY(selectPath(oddFile));
        panel->openSelected();
        QCOMPARE(waitForOpened(), bytes(oddFile));
        QVERIFY(!panel->isVisible());

        panel->show();
        Q_EMIT panel->openWithMenu()->aboutToShow();
        QCOMPARE(items(panel->openWithMenu()).value(0), QString("Quelmo Test Opener"));
        panel->openWithMenu()->actions().value(0)->trigger();
        QCOMPARE(waitForOpened(), bytes(oddFile));

        panel->show();
        panel->revealSelected(); // no file manager answers: its folder opens
        QCOMPARE(waitForOpened(), bytes(oddFolder));
    }

    void aCopiedPathPastedIntoAShellNamesTheSameBytes() {
        auto shellReads = [](const QString& text) {
            QProcess shell;
            shell.start("bash", {"-c", "printf %s " + text});
            shell.waitForFinished();
            return shell.readAllStandardOutput();
        };
        QVERIFY(searchFor("note-"));
        QVERIFY(selectPath(oddFile));
        panel->copySelectedPath();
        QString copied = QGuiApplication::clipboard()->text();
        QCOMPARE(shellReads(copied), bytes(oddFile));
        QCOMPARE(panel->statusLabel()->text(), "Copied " + copied);

        QCOMPARE(quelmo::copyablePath("/home/z/caf\u00e9 it's"), QString("/home/z/caf\u00e9 it's"));
        for (std::string path :
             {"/x/it's \\ caf\xc3\xa9 \xe9t\xe9", "/x/\xff'\n\x01\x7f$HOME", "/x/cut\xe2\x82",
              "/x/\xed\xa0\x80surrogate", "/x/\xc0\xafoverlong"}) {
            QString text = quelmo::copyablePath(path);
            QVERIFY(!text.contains("\n"));
            QCOMPARE(shellReads(text), bytes(path));
        }
    }

    void showInFolderHidesThePanelOnlyOnceTheFolderIsShown() {
        QVERIFY(searchFor("abc-real"));
        QVERIFY(selectPath(existingFile));
        setOpenerInstalled(false); // no file manager, and nothing opens folders
        panel->revealSelected();
        QVERIFY(panel->isVisible());
        QString said = panel->statusLabel()->text();
        QVERIFY2(said.startsWith("Could not show abc-real.txt in its folder: "), qPrintable(said));
        QVERIFY(said.size() > QString("Could not show abc-real.txt in its folder: ").size());

        setOpenerInstalled(true);
        panel->revealSelected();
        QCOMPARE(waitForOpened(), bytes(folder->path()));
        QVERIFY(!panel->isVisible());
    }

    void clicksLeaveAModeOnAndTheKeyboardWithTheSearchField() {
        panel->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel.get()));
        QVERIFY(searchFor("abc"));
        QTest::mouseClick(panel->searchModeButton(), Qt::LeftButton);
        QVERIFY(panel->searchModeButton()->isChecked());
        QTest::keyClicks(QApplication::focusWidget(), "-");
        QCOMPARE(panel->searchField()->text(), QString("abc-"));

        QVERIFY(settle());
        QRect third = panel->table()->visualRect(panel->table()->model()->index(2, 0));
        QTest::mouseClick(panel->table()->viewport(), Qt::LeftButton, {}, third.center());
        QCOMPARE(selectedRow(), 2);
        QTest::keyClicks(QApplication::focusWidget(), "plan");
        QCOMPARE(panel->searchField()->text(), QString("abc-plan"));
    }

    void pageKeysMoveBySomeRowsAndHomeAndEndToTheEnds() {
        QVERIFY(searchFor("page-"));
        int last = int(panel->results().size()) - 1;
        QCOMPARE(last, 23);
        auto press = [this](Qt::Key key) { QTest::keyClick(panel->searchField(), key); };
        press(Qt::Key_PageDown);
        int page = selectedRow();
        QVERIFY2(page > 1 && page < last, qPrintable(QString::number(page)));
        QRect shown = panel->table()->visualRect(panel->table()->model()->index(page, 0));
        QVERIFY(panel->table()->viewport()->rect().contains(shown));
        press(Qt::Key_PageDown);
        QCOMPARE(selectedRow(), std::min(2 * page, last));
        press(Qt::Key_PageUp);
        QCOMPARE(selectedRow(), std::min(2 * page, last) - page);
        press(Qt::Key_End);
        QCOMPARE(selectedRow(), last);
        press(Qt::Key_Home);
        QCOMPARE(selectedRow(), 0);
    }

    void theIconShowsWhereTheThemeHasNoneAndTheMenuIsAlwaysOffered() {
        QString theme = QIcon::themeName();
        QIcon::setThemeName("quelmo-test-theme-without-icons");
        QImage icon = quelmo::applicationIcon().pixmap(22, 22).toImage();
        QIcon::setThemeName(theme);
        QVERIFY(!icon.isNull() && qAlpha(icon.pixel(11, 11)) == 255);

        // Whatever the tray shows, the panel itself offers the application's menu: by its
        // button, by a right-click on the panel or on the list away from the results, and
        // the keys of its items.
        int quits = 0;
        int reindexes = 0;
        quelmo::AppMenu::Handlers handlers;
        handlers.quit = [&] { ++quits; };
        handlers.reindex = [&] { ++reindexes; };
        quelmo::AppMenu appMenu(handlers);
        auto menu = appMenu.makeMenu();
        panel->setPanelMenu(menu.get(), appMenu.keyedActions());
        panel->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel.get()));
        QTest::keyClick(panel->searchField(), Qt::Key_Q, Qt::ControlModifier);
        QTest::keyClick(panel->searchField(), Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(quits, 1);
        QCOMPARE(reindexes, 1);
        QStringList everything = {"", "Preparing index…", "Reindex Computer", "",
                                  "Options", "", "Quit Quelmo"};
        for (QWidget* place :
             {static_cast<QWidget*>(panel->statusLabel()), panel->table()->viewport()}) {
            rightClick(place, {4, 4});
            QVERIFY(menu->isVisible());
            QCOMPARE(items(menu.get()), everything);
            menu->hide();
        }
        QTest::mouseClick(panel->menuButton(), Qt::LeftButton);
        QVERIFY(menu->isVisible());
        menu->hide();
    }

    void openWithIsOfferedForFilesOnly() {
        QVERIFY(searchFor("dir-"));
        rightClick(panel->table()->viewport(), rowOf(oddFolder));
        QVERIFY(panel->contextMenu()->isVisible());
        QCOMPARE(items(panel->contextMenu()),
                 QStringList({"Open", "Show in Folder", "", "Copy Path"}));
        panel->contextMenu()->hide();

        QVERIFY(searchFor("note-"));
        rightClick(panel->table()->viewport(), rowOf(oddFile));
        QVERIFY(items(panel->contextMenu()).contains("Open With"));
        Q_EMIT panel->openWithMenu()->aboutToShow();
        QCOMPARE(items(panel->openWithMenu()),
                 QStringList({"Quelmo Test Opener", "", "Other\u2026"}));
        panel->contextMenu()->hide();

        // Other… lists every installed application, the file's own first, with a filter.
        QStringList listed;
        bool filtered = false;
        QTimer::singleShot(0, this, [&] {
            auto* chooser = qobject_cast<quelmo::ApplicationChooser*>(QApplication::activeModalWidget());
            if (!chooser) {
                return;
            }
            for (int row = 0; row < chooser->list()->count(); ++row) {
                listed << chooser->list()->item(row)->text();
            }
            chooser->filterField()->setText("zzz");
            filtered = chooser->chosenID().isEmpty();
            chooser->filterField()->setText("OPENER");
            chooser->accept();
        });
        panel->chooseApplication();
        QCOMPARE(listed.mid(0, 2), QStringList({"Quelmo Test Opener", "A Test Viewer"}));
        QVERIFY(filtered);
        QCOMPARE(waitForOpened(), bytes(oddFile));
    }

    void statusTextsCountRightAndShortenOnlyTheFileName() {
        QVERIFY(searchFor("abc-plan"));
        QVERIFY(panel->statusLabel()->text().startsWith("1 result \u2022 "));

        QVERIFY(searchFor("minutes"));
        QVERIFY(selectPath(longFile));
        setOpenerInstalled(false);
        panel->openSelected();
        quelmo::StatusLabel* line = panel->statusLabel();
        QString whole = line->toolTip();
        QString opening = "Could not open " + QString::fromStdString(longName) + ": ";
        QVERIFY2(whole.startsWith(opening), qPrintable(whole));
        QString reason = whole.mid(opening.size());
        QVERIFY(!reason.isEmpty());

        // A line with room for what the message says, not for the whole name.
        int width = line->fontMetrics().horizontalAdvance("Could not open : " + reason) + 80;
        panel->resize(panel->width() - line->width() + width, panel->height());
        QTRY_COMPARE(line->width(), width);
        QString shown = line->shownText();
        QVERIFY2(shown.startsWith("Could not open m"), qPrintable(shown));
        QVERIFY2(shown.endsWith(".txt: " + reason), qPrintable(shown));
        QVERIFY(shown.contains(u'\u2026'));
        QVERIFY(line->fontMetrics().horizontalAdvance(shown) <= width);
        QCOMPARE(line->toolTip(), whole);
    }

    void statusTextsGiveTheIndicatorItsTitleAndTint() {
        using quelmo::IndexStatusLook;
        struct Case {
            const char* status;
            const char* title;
            bool busy, degraded;
        } cases[] = {
            {"Index ready \u2022 watching for changes", "Index", false, false},
            {"Indexing 1,200 items \u2022 3 inaccessible \u2022 partial", "Indexing", true, true},
            {"Index out of date: all regions paused", "Out of date", false, true},
            {"Partial index \u2022 4 inaccessible paths \u2022 Index Coverage\u2026",
             "Partial index", false, true},
            {"VERIFYING \u2022 12", "Verifying", true, false},
            {"Recovering changes \u2022 verifying 2 regions", "Updating", true, false},
            {"Preparing index\u2026", "Indexing", true, false},
            {"Access recovery failed: denied", "Partial index", false, true},
        };
        for (const Case& c : cases) {
            IndexStatusLook look = IndexStatusLook::of(c.status);
            QCOMPARE(look.title, QString(c.title));
            QCOMPARE(look.busy, c.busy);
            QCOMPARE(look.degraded, c.degraded);
        }
    }

    void statisticsFillTheIndicatorsOnceASecondAndAFailureKeepsThem() {
        std::atomic<int> reads{0};
        std::atomic<bool> failing{false};
        std::atomic<int64_t> freeBytes{5};
        panel->setStatisticsFunction([&] {
            ++reads;
            if (failing) {
                throw NexdirError::sqlite("disk I/O error");
            }
            IndexStatistics counts{1234567, 1200000, 34567, 2'000'000, true};
            return SearchPanelController::Statistics{
                counts, VolumeSpace{"System disk", freeBytes, 100}};
        });
        quelmo::StatusIndicator* indexIndicator = panel->indexIndicator();
        panel->setIndexStatus("Indexing 12 items");
        QVERIFY(indexIndicator->isBusy());
        QCOMPARE(indexIndicator->tint(), quelmo::healthyTint());
        QTRY_COMPARE(panel->statisticsLabel()->text(), QString("1,234,567 items indexed"));
        QCOMPARE(panel->resourcesButton()->text(), QString("Index \u00b7 2 MB"));
        QVERIFY2(indexIndicator->detail().startsWith("1,234,567 indexed  \u2022  1,200,000 files"),
                 qPrintable(indexIndicator->detail()));
        QCOMPARE(indexIndicator->metrics().size(), 4);
        QCOMPARE(panel->diskIndicator()->tint(), quelmo::warningTint()); // 5% free
        int builds = indexIndicator->cardBuilds();

        // Every status asks, but only one read a second is made; the same text asks nothing.
        panel->setIndexStatus("Index ready \u2022 watching for changes");
        panel->setIndexStatus("Index ready \u2022 watching for changes");
        QTest::qWait(200);
        QCOMPARE(reads.load(), 1);
        QCOMPARE(indexIndicator->title(), QString("Index"));
        QTRY_COMPARE(reads.load(), 2); // the last status is still counted, a second later
        QVERIFY(!indexIndicator->isBusy());

        // Unchanged metrics leave the card alone; a failed read leaves the indicators.
        freeBytes = 50;
        panel->refreshStatistics(true);
        QTRY_COMPARE(panel->diskIndicator()->tint(), quelmo::healthyTint());
        QCOMPARE(indexIndicator->cardBuilds(), builds + 1); // the status text, not the metrics
        failing = true;
        panel->refreshStatistics(true);
        QTRY_COMPARE(panel->statisticsLabel()->text(), QString("Statistics unavailable"));
        QCOMPARE(panel->diskIndicator()->tint(), quelmo::healthyTint());
        QCOMPARE(indexIndicator->metrics().size(), 4);
    }

    void theResourcesPopoverMeasuresProcessorUseBetweenSamples() {
        using quelmo::ProcessUsage;
        ProcessUsage earlier{100 << 20, 2'000'000'000, 500.0};
        ProcessUsage idle{100 << 20, 2'000'000'000, 502.0};
        ProcessUsage busy{100 << 20, 5'000'000'000, 502.0};
        QCOMPARE(ProcessUsage::cpuPercent(earlier, idle), std::optional<double>(0.0));
        QCOMPARE(ProcessUsage::cpuPercent(earlier, busy), std::optional<double>(150.0));
        QVERIFY(!ProcessUsage::cpuPercent(busy, earlier)); // later uptime, less time: not ours
        QVERIFY(!ProcessUsage::cpuPercent(idle, idle));

        std::vector<std::optional<ProcessUsage>> samples{earlier, busy, std::nullopt};
        size_t next = 0;
        quelmo::ResourcePanel::Callbacks callbacks;
        callbacks.readUsage = [&] { return samples[next++]; };
        quelmo::ResourcePanel resources(std::move(callbacks));
        resources.sample();
        QCOMPARE(resources.cpuLabel()->text(), QString("CPU   Measuring\u2026"));
        QVERIFY(resources.ramLabel()->text().startsWith("RAM   100"));
        resources.sample();
        QCOMPARE(resources.cpuLabel()->text(), QString("CPU   150.0%"));
        resources.sample();
        QCOMPARE(resources.ramLabel()->text(), QString("RAM   Unavailable"));
        QCOMPARE(resources.cpuLabel()->text(), QString("CPU   Unavailable"));
        QVERIFY(ProcessUsage::read("/nonexistent/statm") == std::nullopt);
        QVERIFY(ProcessUsage::read()->residentBytes > 0);
    }

    void theEndOfTheListLoadsTheNextPageAsTheSearchRanksIt() {
        // Matches in folders of random depth, more than two pages of them.
        test::TreeBuilder archive(*index, "/archive");
        std::mt19937 random(7);
        std::vector<int64_t> folders{archive.root()};
        for (int i = 0; i < 130; ++i) {
            if (random() % 4 == 0) {
                folders.push_back(archive.folder(folders[random() % folders.size()],
                                                 "box-" + std::to_string(i)));
            }
            archive.file(folders[random() % folders.size()],
                         "memo-" + std::to_string(random() % 1000) + "-" + std::to_string(i) + ".txt",
                         int64_t(random() % 5000));
        }
        auto paths = [](const std::vector<SearchResult>& results) {
            std::vector<std::string> found;
            for (const SearchResult& result : results) {
                found.push_back(result.path);
            }
            return found;
        };
        QVERIFY(searchFor("memo"));
        QCOMPARE(panel->results().size(), size_t(50));
        QVERIFY2(panel->statusLabel()->text().startsWith("50+ results \u2022 "),
                 qPrintable(panel->statusLabel()->text()));
        QTest::keyClick(panel->searchField(), Qt::Key_End);
        QVERIFY(settle());
        QCOMPARE(paths(panel->results()), paths(names->search("memo", 100).results));
        QCOMPARE(selectedRow(), 49); // the row the user was on
        // A refresh keeps the pages loaded; the last page says how many there are in all.
        panel->refreshResults();
        QTest::qWait(SearchPanelController::refreshMilliseconds + 300);
        QCOMPARE(panel->results().size(), size_t(100));
        QTest::keyClick(panel->searchField(), Qt::Key_End);
        QVERIFY(settle());
        QCOMPARE(paths(panel->results()), paths(names->search("memo", 1000).results));
        QVERIFY(panel->statusLabel()->text().startsWith("130 results \u2022 "));

        // A click on Size sorts what is loaded, largest first; another reverses it; the order
        // is kept for the next query and the next launch.
        QHeaderView* header = panel->table()->horizontalHeader();
        auto clickHeader = [&](int column) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(column) + 10, header->height() / 2));
            QVERIFY(settle());
        };
        auto sizes = [&] {
            std::vector<int64_t> found;
            for (const SearchResult& result : panel->results()) {
                found.push_back(result.allocatedSize.value_or(result.size));
            }
            return found;
        };
        std::vector<std::string> loaded = paths(panel->results());
        clickHeader(quelmo::ResultsModel::sizeColumn);
        std::vector<int64_t> largestFirst = sizes();
        QVERIFY(std::is_sorted(largestFirst.rbegin(), largestFirst.rend()));
        std::vector<std::string> sorted = paths(panel->results());
        QCOMPARE(std::set(sorted.begin(), sorted.end()), std::set(loaded.begin(), loaded.end()));
        clickHeader(quelmo::ResultsModel::sizeColumn);
        std::vector<int64_t> smallestFirst = sizes();
        QVERIFY(std::is_sorted(smallestFirst.begin(), smallestFirst.end()));
        QCOMPARE(QSettings("Quelmo", "Quelmo").value(SearchPanelController::sortOrderKey).toInt(),
                 int(SearchPanelController::ResultOrder::size));
        QVERIFY(searchFor("memo-"));
        QVERIFY2(panel->statusLabel()->text().endsWith(" \u2022 sorted: first 50 of 50+"),
                 qPrintable(panel->statusLabel()->text()));
        panel->setResultOrder(SearchPanelController::ResultOrder::relevance, true);
        // A new query starts again with one page.
        QVERIFY(searchFor("memo-1"));
        QVERIFY(panel->results().size() <= 50);
    }

    void anEmptyAnswerSaysWhy() {
        panel->setCustomExclusions([] { return std::vector<std::string>{"/srv/Private"}; });
        QVERIFY(searchFor("zzqx"));
        QVERIFY(panel->statusLabel()->text().startsWith("No matches \u2022 "));
        QVERIFY(searchFor("node_modules left-pad"));
        QVERIFY2(panel->statusLabel()->text().startsWith(
                     "node_modules is excluded from the index \u2022 Index Coverage\u2026 \u2022 "),
                 qPrintable(panel->statusLabel()->text()));
        panel->setIndexStatus("Indexing 12 items");
        QVERIFY(searchFor("private"));
        QVERIFY2(panel->statusLabel()->text().startsWith("/srv/Private is excluded"),
                 qPrintable(panel->statusLabel()->text()));
        QVERIFY(panel->statusLabel()->text().endsWith(" \u2022 results may be incomplete"));
    }

    void matchesAreMarkedAsTheSearchFoldsThem() {
        using quelmo::MatchHighlight;
        using quelmo::TextSpan;
        using Spans = QList<TextSpan>;
        QCOMPARE(MatchHighlight("report").inName("Q3 Report.pdf"), Spans({{3, 6}}));
        QCOMPARE(MatchHighlight("plan q3").inName("q3-plan-q3.txt"), Spans({{0, 2}, {3, 4}, {8, 2}}));
        // Accents and case fold away, precomposed or combining; a mark goes with its letter.
        QCOMPARE(MatchHighlight("resume").inName("Résumé.pdf"), Spans({{0, 6}}));
        QCOMPARE(MatchHighlight("RÉSUMÉ").inName("Re\u0301sume\u0301 final"), Spans({{0, 8}}));
        // One or two characters: the start of the name only, and no folder.
        QCOMPARE(MatchHighlight("ab").inName("abc ab.txt"), Spans({{0, 2}}));
        QCOMPARE(MatchHighlight("ab").inName("cab.txt"), Spans());
        QCOMPARE(MatchHighlight("ab").inLocation("~/ab"), Spans());
        QCOMPARE(MatchHighlight("docs draft").inLocation("~/docs/old"), Spans({{2, 4}}));
        // Emoji, shown invalid bytes and very long names mark where they match, and never
        // past the text.
        QCOMPARE(MatchHighlight("cat").inName("\U0001F431cat\U0001F431"), Spans({{2, 3}}));
        QCOMPARE(MatchHighlight("note").inName("\uFFFDnote"), Spans({{1, 4}}));
        QString longName = QString("x").repeated(4000) + "needle.txt";
        QCOMPARE(MatchHighlight("needle").inName(longName), Spans({{4000, 6}}));

        // Shortened, a name keeps its extension and the start of its match.
        QFontMetrics metrics(panel->font());
        int width = metrics.horizontalAdvance("xxxxxxxxxxxxxxxxxxxxneedle.txt");
        QString shown = quelmo::elidedKeeping(longName, metrics, width, 4000, 4006);
        QVERIFY2(shown.endsWith(".txt") && shown.contains("need"), qPrintable(shown));
        QVERIFY(metrics.horizontalAdvance(shown) <= width);
        QCOMPARE(MatchHighlight("needle").inName(shown).size(), shown.contains("needle") ? 1 : 0);
    }
};

QTEST_MAIN(SearchPanelTests)
#include "SearchPanelTests.moc"
