#include "IndexingController.h"

#include "Clock.h"
#include "DebugLog.h"
#include "FSEventWatcher.h"
#include "Format.h"
#include "IndexMetadata.h"
#include "IndexProgress.h"
#include "LiveIndex.h"
#include "NexdirError.h"
#include "UUID.h"

#include <QMetaObject>

#include <cmath>
#include <mutex>

namespace quelmo {

namespace key = nexdir::IndexMetadata;

namespace {

constexpr int maximumScanRetries = 3;
constexpr int maximumAccessRetries = 3;
constexpr double accessCheckSeconds = 30;
// An exclusion update's count is shown at most this often.
constexpr double progressSeconds = 0.25;

// The cause written to the log for each reason a scan starts.
int causeOf(const std::string& reason) {
    if (reason == "startup or retry") {
        return 0;
    }
    if (reason == "first scan after settings") {
        return 1;
    }
    if (reason == "queued explicit reindex or roots changed") {
        return 2;
    }
    if (reason == "explicit reindex") {
        return 3;
    }
    if (reason == "volume roots changed") {
        return 5;
    }
    return 4;
}

const char* boolean(bool value) {
    return value ? "true" : "false";
}

} // namespace

IndexingController::IndexingController(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
    roots_ = environment_.discoverRoots();
    retryWork_.setSingleShot(true);
    connect(&retryWork_, &QTimer::timeout, this, [this] { startIndexing("startup or retry"); });
    accessRetry_.setSingleShot(true);
    connect(&accessRetry_, &QTimer::timeout, this, [this] { checkAccess(true); });
}

IndexingController::~IndexingController() {
    *alive_ = false;
    stop();
    // Work already on the queue refers to this object: it finishes first.
    environment_.queue->sync([] {});
}

void IndexingController::stop() {
    if (recovery_) {
        recovery_->stop();
        recovery_.reset();
    }
}

IndexingController::Failure IndexingController::failureOf(const std::exception& error) {
    Failure failure;
    failure.description = error.what();
    failure.code = nexdir::errorCodeOf(error);
    failure.retryWontHelp = nexdir::isDiskFull(error) ||
                            dynamic_cast<const nexdir::IndexCapacityError*>(&error) != nullptr;
    return failure;
}

void IndexingController::onQueue(std::function<std::function<void()>()> work) {
    std::weak_ptr<bool> alive = alive_;
    environment_.queue->async([this, alive, work = std::move(work)] {
        std::function<void()> done = work();
        QMetaObject::invokeMethod(
            this,
            [alive, done = std::move(done)] {
                if (auto stillAlive = alive.lock(); stillAlive && *stillAlive && done) {
                    done();
                }
            },
            Qt::QueuedConnection);
    });
}

std::vector<std::string> IndexingController::excludedPaths() const {
    return environment_.defaults->stringList("excludedPaths");
}

void IndexingController::updateStatus(const std::string& text) {
    Q_EMIT statusChanged(QString::fromStdString(text));
}

void IndexingController::showProgress(const std::string& text) {
    std::weak_ptr<bool> alive = alive_;
    QString status = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        this,
        [this, alive, status] {
            if (auto stillAlive = alive.lock(); stillAlive && *stillAlive && isIndexing_) {
                Q_EMIT statusChanged(status);
            }
        },
        Qt::QueuedConnection);
}

void IndexingController::setReindexEnabled() {
    bool enabled = reindexEnabled();
    if (enabled != lastReindexEnabled_) {
        lastReindexEnabled_ = enabled;
        Q_EMIT reindexEnabledChanged(enabled);
    }
}

std::optional<double> IndexingController::pendingRetrySeconds() const {
    if (!retryWork_.isActive()) {
        return std::nullopt;
    }
    return retrySeconds_;
}

void IndexingController::startInitialIndexIfNeeded() {
    startupCheckInFlight_ = true;
    std::vector<std::string> roots = roots_;
    std::vector<std::string> excluded = excludedPaths();
    onQueue([this, roots, excluded]() -> std::function<void()> {
        try {
            nexdir::LiveIndex::LaunchCheck check = nexdir::LiveIndex::checkLaunch(
                *environment_.indexer, *environment_.synchronization, roots, excluded);
            return [this, check] {
                startupCheckInFlight_ = false;
                nexdir::DebugLog::write(
                    "startup cursor=" +
                    (check.resumePoint ? std::to_string(*check.resumePoint) : std::string("nil")));
                if (check.needsFullScan()) {
                    startIndexing("startup or retry");
                    return;
                }
                try {
                    startRegionalRecovery(
                        check.resumePoint ? *check.resumePoint : check.storedEventID, false);
                    if (check.resumePoint) {
                        updateStatus(nexdir::LiveIndex::resumingText(check.inaccessible));
                    }
                } catch (const std::exception& error) {
                    scheduleRecovery(failureOf(error));
                }
            };
        } catch (const std::exception& error) {
            Failure failure = failureOf(error);
            return [this, failure] { scheduleRecovery(failure); };
        }
    });
}

void IndexingController::startIndexing(const std::string& reason) {
    Q_EMIT workStarting();
    nexdir::DebugLog::write("scan requested cause=" + std::to_string(causeOf(reason)) +
                            " reason=" + reason + " alreadyRunning=" + boolean(isIndexing_));
    if (isIndexing_) {
        return;
    }
    startupCheckInFlight_ = false;
    retryWork_.stop();
    isIndexing_ = true;
    watcherGeneration_ += 1;
    stop();
    roots_ = environment_.discoverRoots();
    setReindexEnabled();
    updateStatus(nexdir::LiveIndex::reindexingText());
    std::vector<std::string> roots = roots_;
    std::vector<std::string> excluded = excludedPaths();
    onQueue([this, roots, excluded]() -> std::function<void()> {
        std::string operation = nexdir::makeUUIDString();
        double started = nexdir::uptimeSeconds();
        nexdir::DebugLog::write("scan operation begin operation=" + operation);
        try {
            environment_.indexer->setExcludedPaths(excluded);
            nexdir::LiveIndex::FullScan scan = nexdir::LiveIndex::runFullScan(
                *environment_.indexer, roots,
                [this](const nexdir::IndexProgress& progress) {
                    if (auto text = nexdir::LiveIndex::progressText(progress)) {
                        showProgress(*text);
                    }
                },
                [](uint64_t baseline) {
                    nexdir::DebugLog::write("scan begin baseline=" + std::to_string(baseline));
                });
            double seconds = nexdir::uptimeSeconds() - started;
            return [this, scan, seconds, operation] {
                nexdir::DebugLog::write(
                    "scan installed items=" + std::to_string(scan.summary.indexed) +
                    " errors=" + std::to_string(scan.summary.errors) +
                    " seconds=" + std::to_string(seconds) + " operation=" + operation);
                isIndexing_ = false;
                setReindexEnabled();
                if (rescanAfterCurrent_) {
                    rescanAfterCurrent_ = false;
                    startIndexing("startup or retry");
                    return;
                }
                try {
                    startRegionalRecovery(scan.baseline, false);
                    updateStatus(nexdir::LiveIndex::scannedText(scan.summary.indexed));
                    Q_EMIT resultsChanged();
                } catch (const std::exception& error) {
                    scheduleRecovery(failureOf(error));
                }
            };
        } catch (const std::exception& error) {
            Failure failure = failureOf(error);
            nexdir::DebugLog::write("scan failed operation=" + operation + " seconds=" +
                                    std::to_string(nexdir::uptimeSeconds() - started) +
                                    " errorCode=" + std::to_string(failure.code));
            return [this, failure] {
                isIndexing_ = false;
                setReindexEnabled();
                scheduleRecovery(failure);
            };
        }
    });
}

void IndexingController::requestReindex(const std::string& reason) {
    nexdir::DebugLog::write("reindex trigger cause=" +
                            std::to_string(reason == "volume roots changed" ? 5 : 3));
    recoveryRetryCount_ = 0;
    if (!isIndexing_ && !isVerifying_) {
        startIndexing(reason);
        return;
    }
    rescanAfterCurrent_ = true;
    nexdir::DebugLog::write("explicit rescan queued");
}

void IndexingController::scheduleRecovery(const Failure& failure) {
    startupCheckInFlight_ = false;
    nexdir::DebugLog::write("recovery scheduled errorCode=" + std::to_string(failure.code) +
                            " error=" + failure.description);
    retryWork_.stop();
    if (!failure.retryWontHelp && recoveryRetryCount_ < maximumScanRetries) {
        retrySeconds_ = environment_.firstRetrySeconds * std::pow(2.0, recoveryRetryCount_);
        recoveryRetryCount_ += 1;
        updateStatus("Index out of date: " + failure.description + " \u2022 retrying in " +
                     std::to_string(int64_t(std::llround(retrySeconds_))) + " seconds");
        retryWork_.start(int(retrySeconds_ * 1000));
        return;
    }
    updateStatus("Index out of date: " + failure.description + " \u2022 automatic retry paused");
}

void IndexingController::startRegionalRecovery(uint64_t since, bool manual) {
    int64_t generation = watcherGeneration_;
    stop();
    nexdir::RegionalRecovery::Options options;
    options.index = environment_.index;
    options.indexer = environment_.indexer;
    options.roots = roots_;
    options.queue = environment_.queue;
    options.since = since;
    options.manual = manual;
    options.retryDelays = environment_.regionRetryDelays;
    options.home = environment_.home;
    options.service = environment_.service;
    options.idle = environment_.idle;
    options.followChanges = environment_.followChanges;
    std::weak_ptr<bool> alive = alive_;
    options.status = [this, alive, generation](const std::string& text, bool busy) {
        QString status = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            this,
            [this, alive, generation, status, busy] {
                auto stillAlive = alive.lock();
                if (!stillAlive || !*stillAlive || generation != watcherGeneration_) {
                    return; // a recovery that was replaced
                }
                isVerifying_ = busy;
                setReindexEnabled();
                Q_EMIT statusChanged(status);
                Q_EMIT resultsChanged();
                if (!busy && rescanAfterCurrent_) {
                    rescanAfterCurrent_ = false;
                    startIndexing("queued explicit reindex or roots changed");
                }
            },
            Qt::QueuedConnection);
    };
    recovery_ = nexdir::RegionalRecovery::start(std::move(options));
}

void IndexingController::beginVerification(bool automatic) {
    Q_EMIT workStarting();
    if (isIndexing_ || isVerifying_) {
        return;
    }
    isVerifying_ = true; // until the recovery reports
    setReindexEnabled();
    updateStatus("Preparing regional verification\u2026");
    try {
        startRegionalRecovery(nexdir::FSEventWatcher::currentEventID(), !automatic);
    } catch (const std::exception& error) {
        recoverAutomatically(std::string("could not start regional recovery: ") + error.what());
    }
}

void IndexingController::recoverAutomatically(const std::string& reason) {
    isVerifying_ = false;
    setReindexEnabled();
    watcherGeneration_ += 1;
    stop();
    retryWork_.stop();
    nexdir::DebugLog::write("automatic recovery paused: " + reason);
    updateStatus(
        "Index out of date \u2022 automatic recovery paused \u2022 Verify Index to refresh");
}

void IndexingController::volumesChanged() {
    std::vector<std::string> discovered = environment_.discoverRoots();
    bool changed = nexdir::FileIndexer::rootsChanged(discovered, roots_);
    nexdir::DebugLog::write(std::string("volume notification rootsChanged=") + boolean(changed));
    if (changed) {
        requestReindex("volume roots changed");
    }
}

void IndexingController::applicationBecameActive() {
    Q_EMIT workStarting();
    if (nexdir::uptimeSeconds() - lastAccessCheck_ <= accessCheckSeconds) {
        return;
    }
    checkAccess(false);
}

void IndexingController::checkAccess(bool retry) {
    if (isIndexing_ || isVerifying_ || startupCheckInFlight_ || accessCheckPending_) {
        if (retry) {
            accessRetry_.start(int(environment_.accessRetrySeconds * 1000)); // later, then
        }
        return;
    }
    lastAccessCheck_ = nexdir::uptimeSeconds();
    accessCheckPending_ = true;
    std::vector<std::string> roots = roots_;
    onQueue([this, roots, retry]() -> std::function<void()> {
        try {
            if (retry) {
                environment_.indexer->recoveryFailures.clear(); // each is worth another try
            }
            bool complete = environment_.index->hasCompletedFullScan();
            int64_t repaired = complete ? environment_.indexer->recoverAccessiblePaths(roots) : 0;
            return [this, complete, repaired] {
                accessCheckPending_ = false;
                accessRetries_ = 0;
                if (!complete) {
                    if (!isIndexing_) {
                        startIndexing("first scan after settings");
                    }
                    return;
                }
                if (repaired == 0) {
                    return;
                }
                Q_EMIT resultsChanged();
                if (recovery_) {
                    recovery_->refreshStatus(); // with the count of inaccessible paths now
                }
            };
        } catch (const std::exception& error) {
            std::string description = error.what();
            return [this, description] {
                accessCheckPending_ = false;
                nexdir::DebugLog::write("targeted access recovery failed: " + description);
                updateStatus("Access recovery failed: " + description);
                // Paths that failed are passed over from now on: tried again on a schedule.
                if (accessRetries_ < maximumAccessRetries) {
                    double delay = environment_.accessRetrySeconds * std::pow(2.0, accessRetries_);
                    accessRetries_ += 1;
                    nexdir::DebugLog::write("access recovery retry scheduled seconds=" +
                                            std::to_string(int64_t(delay)));
                    accessRetry_.start(int(delay * 1000));
                }
            };
        }
    });
}

void IndexingController::updateExclusions(std::vector<std::string> paths) {
    Q_EMIT workStarting();
    if (isIndexing_ || startupCheckInFlight_) {
        return;
    }
    environment_.defaults->setStringList("excludedPaths", paths);
    isIndexing_ = true;
    setReindexEnabled();
    updateStatus("Updating excluded folders\u2026");
    std::vector<std::string> roots = roots_;
    watcherGeneration_ += 1;
    stop(); // the streams' exclusions change with the rules
    onQueue([this, paths, roots]() -> std::function<void()> {
        try {
            // Reported by the walk's workers; shown a few times a second at most.
            std::mutex paceLock;
            double lastShown = 0; // guarded by paceLock
            environment_.indexer->updateExclusions(paths, roots, [&](int64_t items) {
                double now = nexdir::uptimeSeconds();
                std::lock_guard guard(paceLock);
                if (now - lastShown >= progressSeconds) {
                    lastShown = now;
                    showProgress("Updating excluded folders \u2022 " +
                                 nexdir::groupedNumber(items) + " items");
                }
            });
            uint64_t eventID =
                key::parseUnsigned(environment_.index->metadata(key::eventID)).value_or(0);
            return [this, eventID] {
                isIndexing_ = false;
                setReindexEnabled();
                Q_EMIT resultsChanged();
                try {
                    startRegionalRecovery(eventID, false);
                } catch (const std::exception& error) {
                    recoverAutomatically(std::string("could not watch updated exclusions: ") +
                                         error.what());
                }
            };
        } catch (const std::exception& error) {
            std::string description = error.what();
            return [this, description] {
                isIndexing_ = false;
                setReindexEnabled();
                recoverAutomatically("exclusion update failed: " + description);
            };
        }
    });
}

void IndexingController::changeExclusions(std::vector<std::string> paths) {
    if (isIndexing_ || startupCheckInFlight_ || !environment_.confirmLargeChange) {
        updateExclusions(std::move(paths));
        return;
    }
    std::vector<std::string> roots = roots_;
    int64_t limit = environment_.confirmationItems;
    onQueue([this, paths, roots, limit]() -> std::function<void()> {
        try {
            nexdir::FileIndexer::ExclusionChange change =
                environment_.indexer->exclusionChange(paths, roots, limit);
            return [this, paths, change] {
                std::optional<std::pair<std::string, std::string>> question =
                    exclusionQuestion(change);
                if (question &&
                    !environment_.confirmLargeChange(question->first, question->second)) {
                    nexdir::DebugLog::write(
                        "exclusion change declined removed=" + std::to_string(change.removedItems) +
                        " readdedFolders=" + std::to_string(change.readdedFolders));
                    return;
                }
                updateExclusions(paths);
            };
        } catch (const std::exception& error) {
            // The size is only for the question: the change itself is what was asked for.
            nexdir::DebugLog::write(std::string("exclusion change not measured error=") +
                                    error.what());
            return [this, paths] { updateExclusions(paths); };
        }
    });
}

std::optional<std::pair<std::string, std::string>>
IndexingController::exclusionQuestion(const nexdir::FileIndexer::ExclusionChange& change) const {
    int64_t limit = environment_.confirmationItems;
    bool removing = change.removedItems > limit;
    bool readding = change.readdedItems > limit;
    if (!removing && !readding) {
        return std::nullopt;
    }
    std::string removal =
        "Remove " + nexdir::groupedNumber(change.removedItems) + " items from the index";
    std::string folders = change.readdedFolders == 1
                              ? std::string("the folder")
                              : "the " + std::to_string(change.readdedFolders) + " folders";
    std::string question = removing && readding ? removal + " and index " + folders + " again?"
                           : removing           ? removal + "?"
                                                : "Index " + folders + " again?";
    std::string detail = readding ? "More than " + nexdir::groupedNumber(limit) +
                                        " items are read back in. Searches go on meanwhile."
                                  : "Searches go on meanwhile.";
    return std::make_pair(question, detail);
}

} // namespace quelmo
