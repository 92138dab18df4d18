#include "CoverageModel.h"
#include "CoverageWindowController.h"
#include "ExclusionsWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

using quelmo::CoverageModel;
using quelmo::CoverageSnapshot;

namespace {

QPushButton* button(QWidget* window, const QString& text) {
    for (auto* found : window->findChildren<QPushButton*>()) {
        if (found->text() == text) {
            return found;
        }
    }
    return nullptr;
}

bool showsLabel(QWidget* window, const QString& text) {
    for (auto* label : window->findChildren<QLabel*>()) {
        if (label->isVisibleTo(window) && label->text().contains(text)) {
            return true;
        }
    }
    return false;
}

} // namespace

// What Index Coverage says about an index, and what its editor of exclusions hands back.
class CoverageTests : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theHeaderIsTheFirstStateThatApplies() {
        CoverageSnapshot clean;
        clean.completed = true;
        auto title = [](const CoverageSnapshot& snapshot, bool loading = false) {
            return CoverageModel::header(snapshot, loading).title;
        };
        QCOMPARE(title(clean), "No unreadable locations recorded");
        QCOMPARE(CoverageModel::header(clean, false).tone, CoverageModel::Tone::good);

        CoverageSnapshot unreadable = clean;
        unreadable.inaccessibleCount = 3;
        QCOMPARE(title(unreadable), "Some locations could not be read");
        QCOMPARE(CoverageModel::header(unreadable, false).symbol, CoverageModel::Symbol::attention);

        // A stale index misleads more than a few unreadable folders.
        CoverageSnapshot stale = unreadable;
        stale.needsRecovery = true;
        QCOMPARE(title(stale), "Your index needs verification");

        CoverageSnapshot fresh; // before the first scan
        fresh.needsRecovery = true;
        QCOMPARE(title(fresh), "Your first index is not ready yet");
        fresh.busy = true;
        QCOMPARE(title(fresh), "Indexing your computer");
        QCOMPARE(CoverageModel::header(fresh, false).symbol, CoverageModel::Symbol::busy);
        QCOMPARE(CoverageModel::header(fresh, false).tone, CoverageModel::Tone::attention);
        CoverageSnapshot checking = stale;
        checking.busy = checking.verifying = true;
        QCOMPARE(title(checking), "Checking your index");

        CoverageSnapshot failed = checking;
        failed.error = CoverageModel::readFailure("disk I/O error");
        QCOMPARE(title(failed), "Coverage unavailable");
        QCOMPARE(CoverageModel::header(failed, false).explanation,
                 "Could not read index coverage. Try reopening this window. Details: disk I/O "
                 "error");

        // Until the first snapshot, the title says so over the explanation that applies.
        CoverageModel::Header loading = CoverageModel::header(unreadable, true);
        QCOMPARE(loading.title, "Reading index coverage\u2026");
        QCOMPARE(loading.explanation, CoverageModel::header(unreadable, false).explanation);
    }

    void theFilterIgnoresCaseAndKeepsBytes() {
        std::vector<std::string> paths = {"/home/ann/Caf\xC3\x89", "/srv/cafe", "/srv/\xFFlog",
                                          "/opt/tea"};
        QCOMPARE(CoverageModel::filtered(paths, ""), paths);
        QCOMPARE(CoverageModel::filtered(paths, "CAF"),
                 (std::vector<std::string>{"/home/ann/Caf\xC3\x89", "/srv/cafe"}));
        QCOMPARE(CoverageModel::filtered(paths, "caf\u00e9"),
                 std::vector<std::string>{"/home/ann/Caf\xC3\x89"});
        QCOMPARE(CoverageModel::filtered(paths, "LOG"), std::vector<std::string>{"/srv/\xFFlog"});
        QVERIFY(CoverageModel::filtered(paths, "coffee").empty());
    }

    void theWindowListsFiltersAndCopiesTheShownPaths() {
        quelmo::CoverageWindowController window([] {}, [] {});
        window.show();
        QVERIFY(showsLabel(&window, "Reading index coverage"));
        CoverageSnapshot snapshot;
        snapshot.completed = true;
        snapshot.indexedItems = 12345;
        snapshot.inaccessibleCount = 3;
        snapshot.paths = {"/srv/Private", "/srv/private-2", "/var/\xFFspool"};
        window.model().setSnapshot(snapshot);
        QVERIFY(showsLabel(&window, "12,345"));
        QVERIFY(!showsLabel(&window, "fs.inotify.max_user_watches"));
        auto* list = window.findChild<QTableWidget*>();
        QCOMPARE(list->rowCount(), 3);

        window.findChild<QLineEdit*>()->setText("PRIVATE");
        QCOMPARE(list->rowCount(), 2);
        QVERIFY(showsLabel(&window, "3 recorded paths \u2022 2 shown"));
        button(&window, "Copy list")->click();
        QCOMPARE(QApplication::clipboard()->text(), "/srv/Private\n/srv/private-2\n");
        // A name that is not UTF-8 is copied as a shell reads it back to the same bytes.
        window.findChild<QLineEdit*>()->setText("spool");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(0, 1)).center());
        QCOMPARE(QApplication::clipboard()->text(), "$'/var/\\xffspool'");
        window.findChild<QLineEdit*>()->setText("nothing like it");
        QVERIFY(showsLabel(&window, "No matching paths"));

        // Past the watch limit, the window says how many folders and how to raise it.
        snapshot.unwatchedFolders = 1234;
        snapshot.watchLimit = 8192;
        window.model().setSnapshot(snapshot);
        QVERIFY(showsLabel(&window, "1,234 folders are checked every 30 s"));
        QVERIFY(showsLabel(&window, "(now 8,192)"));
        button(&window, "Copy command")->click();
        QVERIFY(QApplication::clipboard()->text().contains("/etc/sysctl.d/"));
        QVERIFY(!button(&window, "Full Disk Access\u2026"));
    }

    void theExclusionsEditorAppliesTheListInOneStep() {
        std::vector<std::string> applied;
        int applies = 0;
        quelmo::ExclusionsWindow::Handlers handlers;
        handlers.countHidden = [](const std::vector<std::string>&, const std::string& folder,
                                  std::function<void(std::optional<int64_t>)> done) {
            done(folder == "/srv/big" ? std::optional<int64_t>(250'000) : 1);
        };
        handlers.apply = [&](std::vector<std::string> folders) {
            applied = std::move(folders);
            ++applies;
        };
        quelmo::ExclusionsWindow window(handlers);
        window.load({"/srv/big", "/srv/one"});
        window.show();
        auto* list = window.findChild<QTreeWidget*>();
        QCOMPARE(list->topLevelItem(0)->text(1), "more than 100,000 items");
        QCOMPARE(list->topLevelItem(1)->text(1), "1 item");
        QVERIFY(!button(&window, "Apply")->isEnabled()); // nothing changed yet
        list->topLevelItem(0)->setSelected(true);
        button(&window, "Remove")->click();
        QVERIFY(button(&window, "Apply")->isEnabled());
        window.setIndexIdle(false);
        QVERIFY(!button(&window, "Apply")->isEnabled());
        window.setIndexIdle(true);
        button(&window, "Apply")->click();
        QCOMPARE(applies, 1);
        QCOMPARE(applied, std::vector<std::string>{"/srv/one"});
    }
};

QTEST_MAIN(CoverageTests)
#include "CoverageTests.moc"
