#pragma once

#include "FileIndexer.h"
#include "FileSystemEvent.h"
#include "SearchIndex.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace nexdir {

// Keeps one scope of the index in step with the disk: the whole index, or one recovery region.
// It owns the scope's persisted checkpoint and recovery state (metadata keys, prefixed with
// "region.v1:" + region + ":" for a region), decides whether a stored event identifier may be
// resumed, plans a batch of events into bounded walks (`beginApply`, `stepApply`), and verifies
// the scope against the disk when events were lost, within a budget of automatic attempts.
//
// One thread at a time: the recovery queue for a region, the application's indexing queue for
// the whole index. Throws NexdirError, and the walks' errors.
class IndexSynchronization {
public:
    // Folders applied or verified in one step: short enough to stop or yield between steps,
    // and many enough that a step's commit is not rewriting the same pages a step later.
    static constexpr int stepDirectories = 512;

    // An automatic region verification refused: the automatic budget is spent, or
    // verification is blocked.
    class RecoveryDeferred : public std::runtime_error {
    public:
        RecoveryDeferred()
            : std::runtime_error("Automatic verification deferred: repeated event loss") {}
    };

    // One planned batch, applied by `stepApply` in bounded steps.
    struct PendingApply {
        std::vector<std::string> recursivePaths; // taken from the end
        std::optional<FileIndexer::SubtreeWalk> walk;
        std::optional<std::vector<std::string>> directPaths; // handed once to one walk
        std::set<std::string> metadataOnly;
        uint64_t cursor = 0;         // the checkpoint the batch establishes when complete
        bool advancesCursor = false; // it holds events newer than the threshold
        bool complete = false;
        bool started = false;
    };

    // How a verification was asked for. A catch-up is the verification every launch makes
    // here, where no event history survives a restart: it is no event loss, so it neither
    // counts against the automatic budget nor is refused by it.
    enum class Verification { automatic, manual, catchUp };

    // At most this many automatic verifications before the scope waits for a manual one.
    static constexpr int64_t automaticBudget = 2;

    IndexSynchronization(SearchIndex& index, FileIndexer& indexer,
                         std::optional<std::string> region = std::nullopt,
                         std::set<std::string> protectedSubtrees = {});

    const std::optional<std::string>& region() const { return region_; }

    // The scope's own keys; the map form writes every pair in one transaction.
    std::optional<std::string> metadata(const std::string& key);
    void setMetadata(const std::string& key, const std::string& value);
    void setMetadata(const std::map<std::string, std::string>& values);
    void requireRecovery();

    // The stored checkpoint, when the index holds a complete scan of the same format, roots,
    // exclusions and volume history, with no recovery pending; otherwise absent (logged).
    std::optional<uint64_t> resumeEventID(const std::vector<std::string>& roots,
                                          uint64_t currentEventID,
                                          const std::optional<std::string>& historyIdentity,
                                          const std::vector<std::string>& excludedPaths);

    using Progress = std::function<void(int64_t, const std::string&)>;

    // Plans a batch; absent when it cannot be applied (an interrupted apply, a recovery
    // pending, or events that demand a scan which this call may not verify in place).
    std::optional<PendingApply> beginApply(const std::vector<FileSystemEvent>& events,
                                           const std::vector<std::string>& roots, bool recoverDrops,
                                           const std::function<uint64_t()>& recoveryBaseline = {},
                                           const std::function<void()>& willVerify = {},
                                           const Progress& verificationProgress = {});
    // Advances the batch by at most `maximumDirectories` folders; true when it is complete.
    // A failure leaves the scope needing recovery.
    bool stepApply(PendingApply& pending, const std::vector<std::string>& roots,
                   int maximumDirectories);
    // Begins and steps to the end, stepDirectories folders a step; false when nothing could be
    // planned.
    bool apply(const std::vector<FileSystemEvent>& events, const std::vector<std::string>& roots,
               bool recoverDrops, const std::function<uint64_t()>& recoveryBaseline = {},
               const std::function<void()>& willVerify = {},
               const Progress& verificationProgress = {});

    // ---- Verification ----

    // The whole scope against the disk, blocking; `baseline` becomes its checkpoint.
    void verifyInPlace(const std::vector<std::string>& roots, uint64_t baseline, bool automatic,
                       const Progress& progress = {},
                       const std::function<void()>& didVerifyRoot = {});
    // A resumable verification of the region: begun, then stepped stepDirectories folders at a
    // time; the step that finishes it calls `validateHistory` (which throws when the volumes'
    // history changed) before it writes the new baseline.
    FileIndexer::SubtreeWalk beginRegionalVerification(uint64_t baseline, Verification kind);
    bool stepRegionalVerification(FileIndexer::SubtreeWalk& walk,
                                  const std::vector<std::string>& roots, uint64_t baseline,
                                  const std::function<void()>& validateHistory);

    // The automatic retry schedule: the pending retry (seconds since 1970), else the next one
    // planned `delays[count]` from `now` and stored; absent when the schedule is used up.
    std::optional<double> retryDate(double now, const std::vector<double>& delays);
    void consumeRetry();

    // A region's state when it has none or the plan changed: its checkpoint `startEventID`,
    // the whole index's baseline, and recovery pending unless this is the first plan of an
    // index that needs none.
    void seedRegion(uint64_t startEventID, bool planExisted);

    // Numbers as stored: absent, unparsable or negative read as 0.
    uint64_t unsignedValue(const std::string& key);

private:
    std::string key(const std::string& name) const;
    bool isScopeRoot(const std::string& path, const std::vector<std::string>& roots) const;
    bool isRootRescan(const FileSystemEvent& event, const std::vector<std::string>& roots) const;
    bool rootsMatch(const std::vector<std::string>& roots);

    SearchIndex& index_;
    FileIndexer& indexer_;
    std::optional<std::string> region_;
    std::set<std::string> protectedSubtrees_;
    bool loggedCoveredDrop_ = false;
};

} // namespace nexdir
