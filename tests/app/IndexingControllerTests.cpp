#include "DefaultsStore.h"
#include "ExclusionConfirmation.h"
#include "FileEventService.h"
#include "IndexingController.h"
#include "SettingsDefaults.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>

using namespace nexdir;
using nexdir::test::makeFile;
using quelmo::IndexingController;

// The indexing decisions over a real tree and index: what runs when, and what the status says.
class IndexingControllerTests : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDirectory> folder;
    std::string root;
    std::string data;
    std::unique_ptr<DispatchQueue> queue;
    std::unique_ptr<FileEventService> service;
    std::unique_ptr<SearchIndex> index;
    std::unique_ptr<FileIndexer> indexer;
    std::unique_ptr<IndexSynchronization> synchronization;
    InMemoryDefaults defaults;
    DefaultsStore* store = &defaults; // what the next controller keeps its settings in
    // The user's answer to a question about a large exclusion change, and the questions asked.
    bool answer = true;
    QStringList questions;
    std::unique_ptr<IndexingController> controller;
    QStringList texts;
    std::vector<std::string> roots;

    void start(double firstRetrySeconds = 60) {
        texts.clear();
        index = std::make_unique<SearchIndex>(data + "/index-v2.sqlite3");
        indexer = std::make_unique<FileIndexer>(*index, data, std::vector<std::string>{}, 50, 2);
        indexer->setRegistrar(std::shared_ptr<DirectoryRegistrar>(
            std::shared_ptr<DirectoryRegistrar>(), service.get()));
        synchronization = std::make_unique<IndexSynchronization>(*index, *indexer);
        IndexingController::Environment environment;
        environment.index = index.get();
        environment.indexer = indexer.get();
        environment.synchronization = synchronization.get();
        environment.queue = queue.get();
        environment.defaults = store;
        environment.discoverRoots = [this] { return roots; };
        environment.firstRetrySeconds = firstRetrySeconds;
        environment.home = root + "/home";
        environment.service = service.get();
        environment.confirmationItems = 5;
        environment.confirmLargeChange = [this](const std::string& question, const std::string&) {
            questions << QString::fromStdString(question);
            return answer;
        };
        controller = std::make_unique<IndexingController>(environment);
        connect(controller.get(), &IndexingController::statusChanged, this,
                [this](const QString& text) { texts << text; });
    }
    void stop() {
        controller.reset();
        synchronization.reset();
        indexer.reset();
        index.reset();
    }
    bool waitForText(const QString& prefix, int milliseconds = 15000) {
        return QTest::qWaitFor(
            [&] {
                return std::any_of(texts.begin(), texts.end(),
                                   [&](const QString& text) { return text.startsWith(prefix); });
            },
            milliseconds);
    }

private Q_SLOTS:
    void init() {
        folder = std::make_unique<test::TempDirectory>();
        root = *folder / "tree";
        data = *folder / "Nexdir";
        makeFile(root + "/docs/report.txt");
        roots = {root};
        queue = std::make_unique<DispatchQueue>("nexdir.indexer");
        service = std::make_unique<FileEventService>();
        store = &defaults;
        answer = true;
        questions.clear();
    }
    void cleanup() {
        stop();
        queue.reset();
        service.reset();
        folder.reset();
    }

    void aFirstLaunchScansAndALaterOneResumesAndVerifies() {
        start();
        size_t scans = test::logCount("scan operation begin");
        controller->startInitialIndexIfNeeded();
        QVERIFY(waitForText("Reindexing \u2022 previous results remain available"));
        // The root, its folder and its file.
        QVERIFY(waitForText("Recovering changes made during scan \u2022 3 items indexed"));
        QVERIFY(waitForText("Index ready \u2022 watching for changes"));
        QVERIFY(!controller->isIndexing() && controller->reindexEnabled());
        makeFile(root + "/docs/live.txt");
        QVERIFY(QTest::qWaitFor(
            [&] { return index->entryID(root + "/docs/live.txt", root).has_value(); }, 5000));
        stop();

        makeFile(root + "/docs/while-away.txt");
        start();
        controller->startInitialIndexIfNeeded();
        QVERIFY(waitForText("Recovering changes since last session \u2022 0 inaccessible paths"));
        QVERIFY(waitForText("Index ready \u2022 watching for changes"));
        QVERIFY(index->entryID(root + "/docs/while-away.txt", root));
        QCOMPARE(test::logCount("scan operation begin"), scans + 1); // no second full scan
    }

    void reindexRequestsDuringAScanQueueOneScan() {
        for (int i = 0; i < 300; ++i) {
            makeFile(root + "/bulk/f" + std::to_string(i));
        }
        start();
        size_t scans = test::logCount("scan operation begin");
        controller->startIndexing("startup or retry");
        controller->requestReindex("explicit reindex");
        controller->requestReindex("explicit reindex");
        QVERIFY(test::logCount("explicit rescan queued") >= 2);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return test::logCount("scan operation begin") == scans + 2 &&
                       !controller->isIndexing();
            },
            15000));
        QVERIFY(waitForText("Index ready"));
        QTest::qWait(300);
        QCOMPARE(test::logCount("scan operation begin"), scans + 2);
    }

    void failedScansRetryThreeTimesThenPauseAndAFullDiskAtOnce() {
        roots = {*folder / "no-such-root"};
        start(0.05);
        controller->startIndexing("startup or retry");
        std::vector<double> delays;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (auto pending = controller->pendingRetrySeconds();
                    pending && (delays.empty() || delays.back() != *pending)) {
                    delays.push_back(*pending);
                }
                return texts.size() > 0 && texts.back().endsWith("\u2022 automatic retry paused");
            },
            15000));
        QCOMPARE(delays, (std::vector<double>{0.05, 0.1, 0.2}));
        QVERIFY(texts.back().startsWith("Index out of date: Could not identify volume " +
                                        QString::fromStdString(roots.front()) +
                                        ": No such file or directory"));

        // Time does not make room on a disk: no retry.
        roots = {root};
        indexer->setAvailableCapacity([](const std::string&) { return std::optional<int64_t>(1); });
        texts.clear();
        controller->requestReindex("explicit reindex");
        QVERIFY(waitForText("Index out of date: Not enough free space to rebuild the index."));
        QVERIFY(texts.back().endsWith("\u2022 automatic retry paused"));
        QVERIFY(!controller->pendingRetrySeconds());
    }

    void exclusionsAreAppliedWithoutARescanAndALargeChangeIsAskedFirst() {
        makeFile(root + "/private/secret.txt");
        for (int i = 0; i < 6; ++i) {
            makeFile(root + "/private/notes/" + std::to_string(i) + ".txt");
        }
        start();
        controller->startInitialIndexIfNeeded();
        QVERIFY(waitForText("Index ready"));
        size_t scans = test::logCount("scan operation begin");

        // Declined: nothing changes.
        answer = false;
        texts.clear();
        controller->changeExclusions({root + "/private"});
        QVERIFY(QTest::qWaitFor([&] { return questions.size() == 1; }, 15000));
        QCOMPARE(questions.back(), QString("Remove 9 items from the index?"));
        QTest::qWait(100);
        QVERIFY(!controller->isIndexing());
        QVERIFY(index->entryID(root + "/private/secret.txt", root));
        QVERIFY(defaults.stringList("excludedPaths").empty());

        answer = true;
        controller->changeExclusions({root + "/private"});
        QVERIFY(waitForText("Updating excluded folders\u2026"));
        QVERIFY(waitForText("Updating excluded folders \u2022 9 items"));
        QVERIFY(waitForText("Index ready"));
        QVERIFY(!index->entryID(root + "/private/secret.txt", root));
        QCOMPARE(defaults.stringList("excludedPaths"), std::vector<std::string>{root + "/private"});

        texts.clear();
        controller->changeExclusions({});
        QVERIFY(QTest::qWaitFor([&] { return questions.size() == 3; }, 15000));
        QCOMPARE(questions.back(), QString("Index the folder again?"));
        QVERIFY(waitForText("Index ready"));
        QVERIFY(index->entryID(root + "/private/notes/5.txt", root));
        QCOMPARE(test::logCount("scan operation begin"), scans);

        // A small change is made without a question.
        controller->changeExclusions({root + "/docs"});
        QVERIFY(QTest::qWaitFor([&] { return !index->entryID(root + "/docs", root); }, 15000));
        QCOMPARE(questions.size(), 3);
    }

    void anExclusionThatIsNotUTF8IsKeptAndTheNextLaunchResumes() {
        std::string bytes = root + "/caf\xE9-\xFF";
        makeFile(bytes + "/kept-out.txt");
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(*folder / "config"));
        quelmo::SettingsDefaults settings;
        store = &settings;
        start();
        controller->startInitialIndexIfNeeded();
        QVERIFY(waitForText("Index ready"));
        size_t scans = test::logCount("scan operation begin");
        texts.clear();
        controller->updateExclusions({bytes});
        QVERIFY(waitForText("Index ready"));
        QVERIFY(!index->entryID(bytes + "/kept-out.txt", root));
        QCOMPARE(quelmo::SettingsDefaults().stringList("excludedPaths"),
                 std::vector<std::string>{bytes});
        stop();

        quelmo::SettingsDefaults reopened;
        store = &reopened;
        start();
        size_t resumed = test::logCount("startup cursor=nil");
        controller->startInitialIndexIfNeeded();
        QVERIFY(waitForText("Recovering changes since last session"));
        QVERIFY(waitForText("Index ready"));
        QCOMPARE(test::logCount("scan operation begin"), scans);
        QCOMPARE(test::logCount("startup cursor=nil"), resumed);
        QVERIFY(!index->entryID(bytes + "/kept-out.txt", root));
    }

    void theQuestionIsAnAlertWithNamedButtons() {
        for (bool accept : {false, true}) {
            QTimer::singleShot(0, [accept] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                QCOMPARE(box->accessibleName(), QString("Change Excluded Folders"));
                QCOMPARE(box->text(), QString("Index the 2 folders again?"));
                QAbstractButton* button =
                    box->button(accept ? QMessageBox::Ok : QMessageBox::Cancel);
                QCOMPARE(button->accessibleName(), QString(accept ? "OK" : "Cancel"));
                button->click();
            });
            QCOMPARE(quelmo::confirmExclusionChange("Index the 2 folders again?", "detail"),
                     accept);
        }
    }
};

QTEST_MAIN(IndexingControllerTests)
#include "IndexingControllerTests.moc"
