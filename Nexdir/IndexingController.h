#pragma once

#include "DefaultsStore.h"
#include "DispatchQueue.h"
#include "FileIndexer.h"
#include "IndexSynchronization.h"
#include "RegionalRecovery.h"
#include "SearchIndex.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelmo {

// Decides when the index is scanned, resumed, recovered or verified, runs that work on the
// indexing queue, and turns the outcome into the one status text the tray and the panel show.
// The work itself is the engine's (LiveIndex, RegionalRecovery); this keeps the flags that say
// what runs, the retries, and the queue of reindex requests.
//
// Main thread only: every decision and flag lives here; results come back from the indexing
// queue as queued calls, and a recovery of an earlier generation is not listened to.
class IndexingController : public QObject {
    Q_OBJECT
public:
    struct Environment {
        nexdir::SearchIndex* index = nullptr;
        nexdir::FileIndexer* indexer = nullptr;
        nexdir::IndexSynchronization* synchronization = nullptr;
        nexdir::DispatchQueue* queue = nullptr; // "nexdir.indexer"
        nexdir::DefaultsStore* defaults = nullptr;
        // The volumes to index, discovered afresh (standardised walk roots).
        std::function<std::vector<std::string>()> discoverRoots;
        // Seconds of a scan's first automatic retry (60); doubled for each further one.
        double firstRetrySeconds = 60;
        // Seconds before a failed repair of readable-again paths is tried again (60); doubled
        // for each further one.
        double accessRetrySeconds = 60;
        // Delays of a region's automatic retries.
        std::vector<double> regionRetryDelays = {60, 300, 1800};
        std::string home; // for the region plan; empty: $HOME
        // Where the regions' streams come from: the service the indexer's walks register
        // their folders with.
        nexdir::FileEventService* service = &nexdir::FileEventService::shared();
        // Asks the user whether to make a change of the exclusions that removes or reads back
        // more than `confirmationItems` items (the question, a detail); true: go ahead.
        // Absent: never asked.
        std::function<bool(const std::string&, const std::string&)> confirmLargeChange;
        int64_t confirmationItems = 10'000;
        // Run when the live index has become idle after work, and when work left many
        // changes for the names searches keep (see RegionalRecovery).
        std::function<void()> idle;
        std::function<void()> followChanges;
    };

    explicit IndexingController(Environment environment, QObject* parent = nullptr);
    ~IndexingController() override;

    // The launch check: resume from the checkpoint, recover, or scan.
    void startInitialIndexIfNeeded();
    // A full scan, unless one runs.
    void startIndexing(const std::string& reason);
    // A scan that waits for running work: at most one is queued.
    void requestReindex(const std::string& reason);
    // "Verify Index" (manual) or an automatic restart of the regions' verification.
    void beginVerification(bool automatic);
    // The user's exclusions replaced: the index brought into line without a rescan.
    void updateExclusions(std::vector<std::string> paths);
    // The same, as the menu asks for it: a large change is put to the user first, and
    // nothing changes when they decline.
    void changeExclusions(std::vector<std::string> paths);
    // What the user is asked before `change`: the question and a detail; absent when it is
    // small enough to make without asking.
    std::optional<std::pair<std::string, std::string>>
    exclusionQuestion(const nexdir::FileIndexer::ExclusionChange& change) const;
    // The mount table changed.
    void volumesChanged();
    // The user came back: paths that became readable are repaired, at most every 30 s.
    void applicationBecameActive();
    // Stops the regional recovery, for the shutdown.
    void stop();

    bool isIndexing() const { return isIndexing_; }
    bool isVerifying() const { return isVerifying_; }
    bool startupCheckInFlight() const { return startupCheckInFlight_; }
    bool accessCheckPending() const { return accessCheckPending_; }
    bool reindexEnabled() const { return !isIndexing_ && !isVerifying_; }
    // The regional recovery, while watching.
    std::shared_ptr<nexdir::RegionalRecovery> recovery() const { return recovery_; }
    const std::vector<std::string>& roots() const { return roots_; }
    // The delay of the pending automatic retry of a scan, in seconds (tests).
    std::optional<double> pendingRetrySeconds() const;

Q_SIGNALS:
    void statusChanged(const QString& text);
    void reindexEnabledChanged(bool enabled);
    // The index changed under the panel: its results are to be refreshed.
    void resultsChanged();
    // Work is about to start on the index: idle maintenance must stop.
    void workStarting();

private:
    struct Failure {
        std::string description;
        int code = 0;
        bool retryWontHelp = false; // a full disk
    };
    static Failure failureOf(const std::exception& error);

    void scheduleRecovery(const Failure& failure);
    void startRegionalRecovery(uint64_t since, bool manual);
    void recoverAutomatically(const std::string& reason);
    // Repairs the paths that became readable; `retry`: a scheduled retry after a failure,
    // which also tries again the paths that failed.
    void checkAccess(bool retry);
    void updateStatus(const std::string& text);
    // Publishes a progress text from the indexing queue, unless this object is gone or the
    // work it reports on has ended by the time it arrives.
    void showProgress(const std::string& text);
    void setReindexEnabled();
    // Runs `work` on the indexing queue and `done` back here, unless this object is gone.
    void onQueue(std::function<std::function<void()>()> work);
    std::vector<std::string> excludedPaths() const;

    Environment environment_;
    std::vector<std::string> roots_;
    std::shared_ptr<nexdir::RegionalRecovery> recovery_;
    int64_t watcherGeneration_ = 0;
    int recoveryRetryCount_ = 0;
    QTimer retryWork_;
    double retrySeconds_ = 0;
    bool rescanAfterCurrent_ = false;
    bool startupCheckInFlight_ = true;
    bool isIndexing_ = false;
    bool isVerifying_ = false;
    bool accessCheckPending_ = false;
    double lastAccessCheck_ = -1e9;
    QTimer accessRetry_;
    int accessRetries_ = 0;
    bool lastReindexEnabled_ = true;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quelmo
