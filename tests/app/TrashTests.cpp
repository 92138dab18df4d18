// The largest-files list and the Trash, on real files: a real index of a real tree, a real
// Trash under a temporary $XDG_DATA_HOME, and (as root) a second file system of its own.

#include "FileIndexer.h"
#include "NameSearch.h"
#include "ResultsModel.h"
#include "SearchPanelController.h"
#include "StatusLabel.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace nexdir;
using quelmo::ResultsModel;
using quelmo::SearchPanelController;

class TrashTests : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDirectory> folder;
    std::string tree, trash, uid = std::to_string(geteuid());
    std::vector<std::string> mounts;
    std::unique_ptr<SearchIndex> index;
    std::unique_ptr<NameSearch> names;
    std::unique_ptr<DispatchQueue> queue;
    std::unique_ptr<SearchPanelController> panel;
    bool privateMounts = false;

    static void makeAllocatedFile(const std::string& path, off_t bytes) {
        test::makeFile(path, "");
        int fd = open(path.c_str(), O_WRONLY);
        QCOMPARE(posix_fallocate(fd, 0, bytes), 0);
        close(fd);
    }
    // Indexes the roots as a scan does, then forgets every size on disk, as an index the
    // panel has still to measure holds them.
    void indexRoots(const std::vector<std::string>& roots) {
        FileIndexer indexer(*index, *folder / "index", {}, 50, 2);
        indexer.scanAll(roots, std::nullopt, std::nullopt, {});
        test::RawDatabase(*folder / "index/index.sqlite3")
            .execute("UPDATE entries SET allocated_size = NULL;");
    }
    bool waitForStatus(const QString& text) {
        return QTest::qWaitFor([&] { return panel->statusLabel()->text() == text; }, 10000);
    }
    bool showLargestFiles() {
        QTest::mouseClick(panel->largeFilesModeButton(), Qt::LeftButton);
        return waitForStatus("Largest indexed files \u2022 sorted by space on disk \u2022 "
                             "unavailable sizes last");
    }
    bool select(const std::string& path) {
        for (size_t row = 0; row < panel->results().size(); ++row) {
            if (panel->results()[row].path == path) {
                panel->table()->selectRow(int(row));
            }
        }
        return panel->selectedResult() && panel->selectedResult()->path == path;
    }
    bool listed(const std::string& path) {
        for (const auto& result : panel->results()) {
            if (result.path == path) {
                return true;
            }
        }
        return false;
    }
    // Asks to move the selected file, and answers the confirmation with `button` once
    // `whileOpen` has run; answers the confirmation's informative text.
    QString moveSelected(const QString& button, const std::function<void()>& whileOpen = {}) {
        QString shown;
        std::function<void()> answer = [&] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* sheet = qobject_cast<QMessageBox*>(window);
                if (sheet && sheet->isVisible()) {
                    shown = sheet->text() + "\n" + sheet->informativeText();
                    if (whileOpen) {
                        whileOpen();
                    }
                    for (QAbstractButton* choice : sheet->buttons()) {
                        if (choice->text() == button) {
                            choice->click();
                        }
                    }
                    return;
                }
            }
            QTimer::singleShot(10, answer);
        };
        QTimer::singleShot(0, answer);
        panel->moveSelectedToTrash();
        return shown;
    }

private Q_SLOTS:
    void initTestCase() {
        // A second file system for this process alone: a private mount namespace, where
        // nothing mounted is seen, or left behind, outside it.
        privateMounts = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }

    void init() {
        folder = std::make_unique<test::TempDirectory>();
        // The temporary home holds the tree, so the tree is on the home folder's disk, and a
        // $XDG_DATA_HOME that does not exist yet, as on a first move ever.
        qputenv("HOME", QByteArray::fromStdString(folder->path()));
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(*folder / "data"));
        trash = *folder / "data/Trash";
        tree = *folder / "tree";
        makeAllocatedFile(tree + "/big.bin", 3'000'000);
        makeAllocatedFile(tree + "/mid.bin", 1'000'000);
        test::makeFile(tree + "/notes/notes.txt", "x");
        std::filesystem::create_directory(*folder / "index"); // left out of the scans
        index = std::make_unique<SearchIndex>(*folder / "index/index.sqlite3");
        indexRoots({tree});
        queue = std::make_unique<DispatchQueue>("nexdir.search");
        names = std::make_unique<NameSearch>(*index);
        panel =
            std::make_unique<SearchPanelController>(*names, QString::fromStdString(trash), *queue);
        panel->show();
    }
    void cleanup() {
        queue.reset();
        panel.reset();
        names.reset();
        index.reset();
        for (const std::string& disk : mounts) {
            umount2(disk.c_str(), MNT_DETACH);
        }
        mounts.clear();
        folder.reset();
    }

    void theLargestFilesAreMeasuredRankedAndLeftForTheQuery() {
        panel->searchField()->setText("notes.txt");
        // The search's results are measured as they are shown.
        QVERIFY(QTest::qWaitFor(
            [&] { return panel->results().size() == 1 && panel->results()[0].allocatedSize; }));

        QVERIFY(showLargestFiles());
        QVERIFY(panel->modeTitle()->isVisible());
        QCOMPARE(panel->modeTitle()->text(), QString("Largest individual files"));
        QVERIFY(!panel->searchField()->isVisible());
        QCOMPARE(panel->table()->model()->headerData(ResultsModel::sizeColumn, Qt::Horizontal),
                 QVariant("Size \u2193"));
        QVERIFY(panel->results().size() >= 3);
        QCOMPARE(panel->results()[0].name, std::string("big.bin"));
        QCOMPARE(panel->results()[1].name, std::string("mid.bin"));
        auto bar = [&](int row) {
            return panel->table()
                ->model()
                ->index(row, ResultsModel::sizeColumn)
                .data(ResultsModel::BarFractionRole)
                .toDouble();
        };
        QCOMPARE(bar(0), 1.0);
        QCOMPARE(bar(1), double(*panel->results()[1].allocatedSize) /
                             double(*panel->results()[0].allocatedSize));
        QCOMPARE(test::RawDatabase(*folder / "index/index.sqlite3")
                     .integer("SELECT count(*) FROM entries WHERE allocated_size IS NULL AND "
                              "is_directory = 0"),
                 0);
        QVERIFY(panel->trashButton()->isVisible());
        // A Trash never used holds nothing, and is not made just to be measured.
        QVERIFY(QTest::qWaitFor(
            [&] { return panel->trashButton()->text() == "Trash \u00b7 Zero KB"; }));
        QVERIFY(!test::exists(trash));

        QTest::mouseClick(panel->searchModeButton(), Qt::LeftButton);
        QVERIFY(panel->searchField()->isVisible());
        QCOMPARE(panel->searchField()->text(), QString("notes.txt"));
        QVERIFY(!panel->trashButton()->isVisible());
        QCOMPARE(panel->table()->model()->headerData(ResultsModel::sizeColumn, Qt::Horizontal),
                 QVariant("Size"));
        QVERIFY(QTest::qWaitFor([&] { return listed(tree + "/notes/notes.txt"); }));
    }

    void aConfirmedFileGoesToTheTrashOnlyIfItIsStillTheSameFile() {
        QVERIFY(showLargestFiles());
        QVERIFY(select(tree + "/big.bin"));
        QVERIFY(panel->canMoveSelectedToTrash());

        moveSelected("Cancel");
        QVERIFY(test::exists(tree + "/big.bin"));
        QString asked = moveSelected("Move to Trash");
        QCOMPARE(asked, "Move big.bin to Trash?\n" + QString::fromStdString(tree) +
                            "/big.bin\n\nYou can restore it from Trash. Disk space is not freed "
                            "until Trash is emptied.");
        QCOMPARE(panel->statusLabel()->text(),
                 QString("Moved big.bin to Trash. Space is freed when Trash is emptied."));
        QVERIFY(!test::exists(tree + "/big.bin"));
        QVERIFY(test::exists(trash + "/files/big.bin"));
        std::string info = test::readFile(trash + "/info/big.bin.trashinfo");
        QVERIFY2(info.find("Path=" + tree + "/big.bin\n") != std::string::npos, info.c_str());
        QVERIFY(info.find("DeletionDate=") != std::string::npos);
        for (const std::string& made :
             {*folder / "data", trash, trash + "/files", trash + "/info"}) {
            QCOMPARE(test::permissions(made), 0700u);
        }
        QVERIFY(!listed(tree + "/big.bin")); // gone before the index hears of it
        QVERIFY(QTest::qWaitFor(
            [&] { return panel->trashButton()->text().startsWith("Trash \u00b7 3"); }));

        // Replaced by another file of the same name while the confirmation stands open.
        QVERIFY(select(tree + "/mid.bin"));
        moveSelected("Move to Trash", [&] {
            test::writeFile(tree + "/other", "another file");
            std::filesystem::rename(tree + "/other", tree + "/mid.bin");
        });
        QCOMPARE(panel->statusLabel()->text(),
                 QString("The file changed since confirmation opened. Select it again."));
        QCOMPARE(test::readFile(tree + "/mid.bin"), std::string("another file"));
        QCOMPARE(test::listFolder(trash + "/files"), std::vector<std::string>{"big.bin"});
        // Moved away meanwhile: nothing to move.
        moveSelected("Move to Trash",
                     [&] { std::filesystem::rename(tree + "/mid.bin", tree + "/moved.bin"); });
        QCOMPARE(panel->statusLabel()->text(),
                 QString("The file changed since confirmation opened. Select it again."));
        QVERIFY(test::exists(tree + "/moved.bin"));
    }

    void aFileOnAnotherDiskGoesToThatDisksTrashOrStays() {
        if (!privateMounts) {
            QSKIP("a second file system needs a mount namespace of its own (run as root)");
        }
        std::string disk = *folder / "disk", bare = *folder / "bare";
        for (const std::string& point : {disk, bare}) {
            std::filesystem::create_directory(point);
            QCOMPARE(mount("tmpfs", point.c_str(), "tmpfs", 0, "size=16m"), 0);
            mounts.push_back(point);
        }
        makeAllocatedFile(disk + "/video.bin", 5'000'000);
        makeAllocatedFile(bare + "/archive.bin", 4'000'000);
        // A disk whose Trash cannot be made: its name is taken by a file.
        test::writeFile(bare + "/.Trash-" + uid, "not a folder");
        indexRoots({tree, disk, bare});
        QVERIFY(showLargestFiles());

        QVERIFY(select(disk + "/video.bin"));
        QString asked = moveSelected("Move to Trash");
        std::string diskTrash = disk + "/.Trash-" + uid;
        QVERIFY2(asked.endsWith(QString::fromStdString("This file is on another disk (" + disk +
                                                       "): it goes to that disk's Trash, " +
                                                       diskTrash + ".")),
                 qPrintable(asked));
        QCOMPARE(panel->statusLabel()->text(),
                 QString("Moved video.bin to Trash. Space is freed when Trash is emptied."));
        QVERIFY(test::exists(diskTrash + "/files/video.bin"));
        QVERIFY(test::exists(diskTrash + "/info/video.bin.trashinfo"));
        QVERIFY(!test::exists(trash + "/files/video.bin"));

        QVERIFY(select(bare + "/archive.bin"));
        moveSelected("Move to Trash");
        QVERIFY2(panel->statusLabel()->text().startsWith(
                     QString::fromStdString("Could not move to Trash: the disk it is on (" + bare +
                                            ") has no Trash this account can use")),
                 qPrintable(panel->statusLabel()->text()));
        QVERIFY(test::exists(bare + "/archive.bin"));
        QVERIFY(listed(bare + "/archive.bin"));
        QVERIFY(!test::exists(trash + "/files/archive.bin"));
    }

    void aTrashTooLargeToCountShowsALowerBound() {
        std::filesystem::create_directories(trash + "/files/many");
        for (int i = 0; i <= int(SearchPanelController::trashEntryLimit); ++i) {
            close(open((trash + "/files/many/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY,
                       0600));
        }
        QVERIFY(showLargestFiles());
        QVERIFY(QTest::qWaitFor(
            [&] { return panel->trashButton()->text().startsWith("Trash \u00b7 \u2265 "); },
            10000));
        QVERIFY(panel->trashButton()->toolTip().endsWith(
            "Some contents could not be counted; the displayed amount is a lower bound."));
    }
};

QTEST_MAIN(TrashTests)
#include "TrashTests.moc"
