#include "RegionalRecovery.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "FileSystem.h"
#include "Format.h"
#include "IndexMetadata.h"
#include "NexdirError.h"
#include "Paths.h"
#include "ProcessHeap.h"
#include "UUID.h"

#include <algorithm>
#include <ctime>

namespace nexdir {

namespace key = IndexMetadata;
using Verification = IndexSynchronization::Verification;

namespace {

// Causes of a verification, as logged.
constexpr int causeAtStart = 0;
constexpr int causeManual = 1;
constexpr int causeEvents = 2;
constexpr int causeRetry = 3;

constexpr double slowApplySeconds = 0.25;
constexpr double diagnosticSeconds = 30;
// How long every region stays caught up, with no step taken, before the memory a burst of
// work took is given back: long enough that a burst's pauses do not trim again and again.
constexpr double idleMemorySeconds = 5;

bool isDeferred(const std::exception& error) {
    return dynamic_cast<const IndexSynchronization::RecoveryDeferred*>(&error) != nullptr;
}

const char* boolean(bool value) {
    return value ? "true" : "false";
}

// The launch's catch-up notice: here no event history survives a restart, so a stream asked
// for history from before this process began says so with one plain rescan of its root. That
// is how every later launch starts, not a loss of events: drops carry their own flags.
bool isHistoryUnavailable(const FileSystemEvent& event, const std::string& region) {
    return event.flags == EventFlags::mustScanSubDirs && event.path == region;
}

std::string shortTime(double secondsSince1970) {
    time_t at = time_t(secondsSince1970);
    tm local{};
    localtime_r(&at, &local);
    char text[16];
    strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

} // namespace

struct RegionalRecovery::Region {
    RecoveryRegion spec;
    std::unique_ptr<IndexSynchronization> sync;
    std::shared_ptr<EventInbox> inbox = std::make_shared<EventInbox>(EventInbox::regionLimit);
    std::optional<IndexSynchronization::PendingApply> pendingApply;
    std::vector<FileSystemEvent> applyingEvents;
    std::optional<double> retryAt; // seconds since 1970
    std::unique_ptr<FSEventWatcher> watcher;
    std::optional<FileIndexer::SubtreeWalk> walk;
    uint64_t baseline = 0;
    int64_t checkedDirectories = 0;
    bool blocked = false;
    std::optional<double> healthySince;
    // Paused by a full disk: retried on the same schedule, kept here since nothing can be
    // written; each retry waits for room first.
    bool waitingForSpace = false;
    size_t spaceRetries = 0;
    std::optional<double> verificationStarted;
    std::string verificationID;
    // Folders the watch limit left out, checked by polling: as the event service last
    // listed them for this region's stream.
    std::vector<std::string> unwatched;
    // The check of those folders under way: stepped between the region's batches, never
    // holding them up.
    std::optional<FileIndexer::SubtreeWalk> poll;
    // Folders watched again after a time without a watch, to be checked once as soon as
    // the poll under way ends.
    std::vector<std::string> pendingChecks;

    // At or under its root, and in none of its children's subtrees (a stream can exclude
    // only so many of them).
    bool owns(const std::string& path) const {
        return isAtOrUnder(path, spec.path) &&
               std::none_of(spec.children.begin(), spec.children.end(),
                            [&](const std::string& child) { return isAtOrUnder(path, child); });
    }

    void refreshUnwatched() {
        unwatched.clear();
        if (!watcher) {
            return;
        }
        for (std::string& folder : watcher->unwatchedFolders()) {
            if (owns(folder)) {
                unwatched.push_back(std::move(folder));
            }
        }
        for (std::string& folder : watcher->takeFoldersToCheck()) {
            if (owns(folder)) {
                pendingChecks.push_back(std::move(folder));
            }
        }
    }

    bool caughtUp() const { return !blocked && !walk && !pendingApply && inbox->isCaughtUp(); }
};

std::shared_ptr<RegionalRecovery> RegionalRecovery::start(Options options) {
    std::shared_ptr<RegionalRecovery> engine(new RegionalRecovery(std::move(options)));
    std::weak_ptr<RegionalRecovery> weak = engine;
    engine->options_.queue->async([weak] {
        if (auto self = weak.lock()) {
            self->startProcedure();
        }
    });
    return engine;
}

RegionalRecovery::RegionalRecovery(Options options) : options_(std::move(options)) {
    if (options_.home.empty()) {
        options_.home = homeDirectory();
    }
    for (std::string& root : options_.roots) {
        root = standardizePath(root);
    }
}

RegionalRecovery::~RegionalRecovery() = default;

double RegionalRecovery::now() const {
    return options_.clock ? options_.clock() : uptimeSeconds();
}

template <class Work> void RegionalRecovery::later(Region& region, Work work) {
    std::weak_ptr<RegionalRecovery> weak = weak_from_this();
    Region* target = &region;
    options_.queue->async([weak, target, work] {
        if (auto self = weak.lock(); self && self->isActive()) {
            work(*self, *target);
            self->followChangesIfMany();
        }
    });
}

void RegionalRecovery::followChangesIfMany() {
    if (options_.followChanges && options_.index->rowChangesHeld() >= options_.followChangesAt) {
        try {
            options_.followChanges();
        } catch (const std::exception& error) {
            DebugLog::write(std::string("following changes failed error=") + error.what());
        }
    }
}

bool RegionalRecovery::isActive() {
    std::lock_guard guard(lock_);
    return active_;
}

bool RegionalRecovery::isCaughtUp() {
    std::lock_guard guard(lock_);
    return active_ && caughtUp_;
}

void RegionalRecovery::refreshStatus() {
    std::weak_ptr<RegionalRecovery> weak = weak_from_this();
    options_.queue->async([weak] {
        if (auto self = weak.lock(); self && self->isActive()) {
            self->publish(true);
        }
    });
}

void RegionalRecovery::startProcedure() {
    if (!isActive()) {
        return;
    }
    SearchIndex& index = *options_.index;
    try {
        identity_ = FSEventWatcher::historyIdentity(options_.roots);
        std::vector<RecoveryRegion> plan = RecoveryRegion::plan(options_.roots, options_.home);
        std::string configuration = RecoveryRegion::configuration(
            plan, identity_, index.metadata(key::excludedPaths).value_or(""));
        std::optional<std::string> storedPlan = index.metadata(key::regionPlan);
        bool planChanged = storedPlan != configuration;
        for (const RecoveryRegion& spec : plan) {
            auto region = std::make_unique<Region>();
            region->spec = spec;
            region->sync = std::make_unique<IndexSynchronization>(
                index, *options_.indexer, spec.path,
                std::set<std::string>(spec.children.begin(), spec.children.end()));
            if (planChanged || !region->sync->metadata(key::eventID)) {
                region->sync->seedRegion(options_.since, storedPlan.has_value());
            }
            regions_.push_back(std::move(region));
        }
        for (auto& region : regions_) {
            if (region->sync->metadata(key::applyInProgress) == key::flag(true)) {
                region->sync->requireRecovery();
            }
        }
        index.setMetadata(key::regionPlan, configuration);
    } catch (const std::exception& error) {
        regions_.clear();
        DebugLog::write(std::string("regional recovery failed to start error=") + error.what());
        if (options_.status) {
            options_.status(std::string("Index out of date \u2022 ") + error.what() +
                                " \u2022 Verify Index to retry",
                            false);
        }
        return;
    }

    std::set<std::string> targets;
    if (options_.manual) {
        std::set<std::string> all;
        std::set<std::string> incomplete;
        for (auto& region : regions_) {
            all.insert(region->spec.path);
            if (region->sync->metadata(key::needsRecovery) == key::flag(true)) {
                incomplete.insert(region->spec.path);
            }
        }
        targets = RecoveryRegion::manualVerificationTargets(all, incomplete);
    }
    for (auto& region : regions_) {
        try {
            if (targets.count(region->spec.path)) {
                region->sync->setMetadata({{key::delayedRetryCount, "0"}, {key::retryAfter, "0"}});
                startWatcher(*region, true);
                begin(*region, Verification::manual, causeManual);
                continue;
            }
            // No event history survives a restart here, so a region that needs recovery, or
            // was left paused, is simply verified now, as every other region is by its
            // stream's catch-up notice: the launch, not a loss, and never paused for it.
            bool needsRecovery =
                region->sync->metadata(key::needsRecovery) == key::flag(true) ||
                region->sync->metadata(key::verificationBlocked) == key::flag(true);
            startWatcher(*region, needsRecovery);
            if (needsRecovery) {
                begin(*region, Verification::catchUp, causeAtStart);
            }
        } catch (const std::exception& error) {
            block(*region, error);
        }
    }
    publish(true);
}

void RegionalRecovery::startWatcher(Region& region, bool force) {
    IndexSynchronization& sync = *region.sync;
    uint64_t current = FSEventWatcher::currentEventID();
    uint64_t saved = key::parseUnsigned(sync.metadata(key::eventID)).value_or(current);
    if (saved > current) {
        sync.requireRecovery(); // the event history was reset
    }
    // More nested roots than a stream can exclude are left out of the region by `owns`.
    std::vector<std::string> exclusions(
        region.spec.children.begin(),
        region.spec.children.begin() +
            std::min(region.spec.children.size(), FSEventWatcher::maximumExclusions));
    for (const std::string& candidate :
         options_.indexer->rules().eventStreamExclusions(region.spec.path, region.spec.children)) {
        if (exclusions.size() >= FSEventWatcher::maximumExclusions) {
            break;
        }
        exclusions.push_back(candidate);
    }
    bool recovering = sync.metadata(key::needsRecovery) == key::flag(true);
    uint64_t since = !force && !recovering ? std::min(saved, current) : current;
    bool overlap = !force && !recovering;

    std::weak_ptr<RegionalRecovery> weak = weak_from_this();
    Region* target = &region;
    std::shared_ptr<EventInbox> inbox = region.inbox;
    auto handler = [weak, target, inbox](const std::vector<FileSystemEvent>& batch) {
        auto self = weak.lock();
        if (!self || !self->isActive()) {
            return;
        }
        bool schedule = inbox->receive(batch);
        {
            std::lock_guard guard(self->lock_);
            self->caughtUp_ = false;
            self->receivedGeneration_ += 1;
        }
        if (schedule) {
            self->later(*target,
                        [](RegionalRecovery& engine, Region& region) { engine.drain(region); });
        }
    };
    region.watcher.reset();
    region.unwatched.clear(); // a new stream is told again of every folder left unwatched
    region.watcher =
        std::make_unique<FSEventWatcher>(std::vector<std::string>{region.spec.path}, since, overlap,
                                         false, exclusions, handler, *options_.service);
}

void RegionalRecovery::drain(Region& region) {
    // While a batch is applied or the region verified, what arrives waits in the inbox: the
    // end of either drains it. Taken now, a batch could only find recovery pending and start
    // a second verification over the first.
    if (!isActive() || region.blocked || region.walk || region.pendingApply) {
        return;
    }
    std::optional<std::vector<FileSystemEvent>> taken = region.inbox->take();
    if (!taken) {
        publish(true);
        return;
    }
    std::vector<FileSystemEvent> batch;
    bool catchUp = false;
    bool refresh = false; // told of folders left unwatched, or perhaps not told (lost events)
    for (const FileSystemEvent& event : *taken) {
        refresh = refresh || event.isUnwatchedNotice() || event.isBufferDrop();
        if (!event.isUnwatchedNotice()) {
            catchUp = catchUp || isHistoryUnavailable(event, region.spec.path);
            batch.push_back(event);
        }
    }
    if (refresh) {
        region.refreshUnwatched();
        startPoll(region, {}); // folders watched again are checked now
    }
    double age = region.inbox->oldestAge();
    if (age >= 1) {
        DebugLog::write("region batch queued path=" + region.spec.path + " events=" +
                        std::to_string(batch.size()) + " oldestSeconds=" + shortestDecimal(age));
    }
    try {
        if (std::any_of(batch.begin(), batch.end(), [](const FileSystemEvent& event) {
                return event.flags & EventFlags::rootChanged;
            })) {
            throw NexdirError::sqlite("Region root moved or replaced; Verify Index to reattach: " +
                                      region.spec.path);
        }
        if (catchUp) {
            // What happened while no stream ran is found by walking the region now; events of
            // this batch happened before the walk begins, so it covers them.
            region.sync->requireRecovery();
            begin(region, Verification::catchUp, causeAtStart);
            region.inbox->applied(batch);
            publish(false);
            return;
        }
        std::vector<FileSystemEvent> scoped;
        for (const FileSystemEvent& event : batch) {
            FileSystemEvent own = region.spec.scoped(event);
            if (region.owns(own.path)) {
                scoped.push_back(std::move(own));
            }
        }
        std::optional<IndexSynchronization::PendingApply> plan =
            region.sync->beginApply(scoped, options_.roots, false);
        if (plan) {
            region.pendingApply = std::move(plan);
            region.applyingEvents = std::move(scoped);
            stepApply(region);
            publish(false);
            return;
        }
        begin(region, Verification::automatic, causeEvents);
        region.inbox->applied(batch);
        publish(false);
    } catch (const std::exception& error) {
        block(region, error);
        publish(true);
    }
}

void RegionalRecovery::stepApply(Region& region) {
    if (!isActive() || !region.pendingApply) {
        return;
    }
    double started = now();
    stepsTaken_ += 1;
    try {
        bool done = region.sync->stepApply(*region.pendingApply, options_.roots,
                                           IndexSynchronization::stepDirectories);
        // Most of what the step allocated is freed by now. Given back at once, it does not
        // stay with the process until the index is idle, on top of what the next steps take.
        returnFreeHeap();
        double elapsed = now() - started;
        if (elapsed >= slowApplySeconds) {
            DebugLog::write("region apply step path=" + region.spec.path +
                            " applyMs=" + shortestDecimal(elapsed * 1000) +
                            " pending=" + std::to_string(region.inbox->pendingCount()) +
                            " oldestSeconds=" + shortestDecimal(region.inbox->oldestAge()));
        }
        if (!done) {
            later(region, [](RegionalRecovery& engine, Region& next) { engine.stepApply(next); });
        } else {
            region.inbox->applied(region.applyingEvents);
            region.pendingApply.reset();
            region.applyingEvents.clear();
            resultsChanged_ = true; // an open panel shows the batch as soon as it is told
            later(region, [](RegionalRecovery& engine, Region& next) { engine.drain(next); });
        }
        publish(false);
    } catch (const std::exception& error) {
        block(region, error);
        publish(true);
    }
}

void RegionalRecovery::begin(Region& region, Verification kind, int cause) {
    bool manual = kind == Verification::manual;
    // Caught up long enough, the losses before no longer count; and a launch's catch-up
    // verifies the whole region, so what an earlier session counted and planned is moot.
    if (kind == Verification::catchUp ||
        (kind == Verification::automatic && region.healthySince &&
         now() - *region.healthySince >= healthySeconds)) {
        region.sync->setMetadata({{key::automaticVerificationAttempts, "0"},
                                  {key::delayedRetryCount, "0"},
                                  {key::retryAfter, "0"}});
    }
    if (FSEventWatcher::historyIdentity(options_.roots) != identity_) {
        throw NexdirError::sqlite("Volume history changed before recovery");
    }
    region.healthySince.reset();
    region.baseline = FSEventWatcher::currentEventID();
    region.verificationStarted = now();
    region.verificationID = makeUUIDString();
    region.checkedDirectories = 0;
    DebugLog::write("region verification begin path=" + region.spec.path + " baseline=" +
                    std::to_string(region.baseline) + " operation=" + region.verificationID +
                    " budgetReset=" + boolean(manual) + " cause=" + std::to_string(cause));
    region.walk = region.sync->beginRegionalVerification(region.baseline, kind);
    later(region, [](RegionalRecovery& engine, Region& next) { engine.step(next); });
}

void RegionalRecovery::step(Region& region) {
    if (!isActive() || !region.walk) {
        return;
    }
    stepsTaken_ += 1;
    try {
        int64_t before = region.walk->visited;
        bool done = region.sync->stepRegionalVerification(
            *region.walk, options_.roots, region.baseline, [&] {
                if (FSEventWatcher::historyIdentity(options_.roots) != identity_) {
                    throw NexdirError::sqlite("Volume history changed during recovery");
                }
            });
        returnFreeHeap();
        region.checkedDirectories += region.walk->visited - before;
        verificationChecks_ += region.walk->visited - before;
        if (!done) {
            later(region, [](RegionalRecovery& engine, Region& next) { engine.step(next); });
            publish(false);
            return;
        }
        DebugLog::write(
            "region verification complete path=" + region.spec.path +
            " directories=" + std::to_string(region.checkedDirectories) +
            " baseline=" + std::to_string(region.baseline) + " operation=" + region.verificationID +
            " seconds=" + shortestDecimal(now() - region.verificationStarted.value_or(now())));
        region.walk.reset();
        region.verificationStarted.reset();
        region.spaceRetries = 0;
        resultsChanged_ = true;
        drain(region); // what arrived meanwhile is applied on top
        publish(false);
    } catch (const std::exception& error) {
        block(region, error);
        publish(true);
    }
}

void RegionalRecovery::block(Region& region, const std::exception& error) {
    // A full disk is no fault of the region's: once there is room again, it carries on.
    bool diskFull = isDiskFull(error);
    bool retryable = isDeferred(error) || diskFull;
    if (region.verificationStarted) {
        DebugLog::write("region verification failed operation=" + region.verificationID +
                        " seconds=" + shortestDecimal(now() - *region.verificationStarted) +
                        " errorCode=" + std::to_string(errorCodeOf(error)) +
                        " retryable=" + boolean(retryable));
    }
    region.verificationStarted.reset();
    region.blocked = true;
    region.walk.reset();
    region.poll.reset();
    region.pendingApply.reset();
    region.applyingEvents.clear();
    region.retryAt.reset();
    region.inbox->invalidate();
    if (region.watcher) {
        region.watcher->stop();
        region.watcher.reset();
    }
    region.refreshUnwatched(); // none: a paused region is not followed at all
    try {
        region.sync->setMetadata({{key::needsRecovery, key::flag(true)},
                                  {key::verificationBlocked, key::flag(true)},
                                  {key::automaticRetryAllowed, key::flag(retryable)}});
    } catch (const std::exception& failure) {
        DebugLog::write(std::string("region state not saved error=") + failure.what());
    }
    DebugLog::write("region paused path=" + region.spec.path +
                    " errorCode=" + std::to_string(errorCodeOf(error)) +
                    " retryable=" + boolean(retryable) + " error=" + error.what());
    region.waitingForSpace = diskFull;
    if (retryable) {
        scheduleRetry(region);
    }
}

void RegionalRecovery::scheduleRetry(Region& region) {
    try {
        std::optional<double> at;
        if (region.waitingForSpace) {
            if (region.spaceRetries < options_.retryDelays.size()) {
                at = unixSeconds() + options_.retryDelays[region.spaceRetries++];
            }
        } else {
            at = region.sync->retryDate(unixSeconds(), options_.retryDelays);
        }
        if (!at) {
            return; // the schedule is used up: a manual verification resumes it
        }
        region.retryAt = at;
        DebugLog::write("region retry scheduled path=" + region.spec.path +
                        " at=" + shortestDecimal(*at));
        std::weak_ptr<RegionalRecovery> weak = weak_from_this();
        Region* target = &region;
        options_.queue->asyncAfter(std::max(0.0, *at - unixSeconds()), [weak, target] {
            if (auto self = weak.lock(); self && self->isActive()) {
                self->retry(*target);
            }
        });
    } catch (const std::exception& failure) {
        DebugLog::write("region retry scheduling failed path=" + region.spec.path +
                        " error=" + failure.what());
    }
}

void RegionalRecovery::retry(Region& region) {
    if (!region.blocked) {
        return;
    }
    region.retryAt.reset();
    if (region.waitingForSpace) {
        options_.index->releaseWALSpace();
        std::string folder = parentPath(options_.index->databasePath());
        std::optional<int64_t> free =
            options_.freeSpace ? options_.freeSpace(folder) : availableCapacity(folder);
        if (free && *free < options_.minimumFreeBytes) {
            DebugLog::write("region retry postponed path=" + region.spec.path +
                            " availableBytes=" + std::to_string(*free));
            scheduleRetry(region);
            publish(true);
            return;
        }
    }
    try {
        if (!region.waitingForSpace) {
            region.sync->consumeRetry();
        }
        region.waitingForSpace = false;
        region.inbox = std::make_shared<EventInbox>(EventInbox::regionLimit);
        region.blocked = false;
        startWatcher(region, true);
        begin(region, Verification::manual, causeRetry);
    } catch (const std::exception& error) {
        block(region, error);
    }
    publish(true);
}

void RegionalRecovery::pollUnwatched() {
    pollScheduled_ = false;
    for (auto& region : regions_) {
        if (region->blocked) {
            continue;
        }
        region->refreshUnwatched(); // some were deleted, moved or watched after all
        if (!region->poll) {
            startPoll(*region, region->unwatched); // a poll under way goes on
        }
    }
    publish(true); // schedules the next poll while folders are left unwatched
}

void RegionalRecovery::startPoll(Region& region, std::vector<std::string> folders) {
    folders.insert(folders.end(), region.pendingChecks.begin(), region.pendingChecks.end());
    region.pendingChecks.clear();
    if (folders.empty() || region.blocked || region.walk) {
        return; // a verification checks every folder anyway
    }
    if (region.poll) {
        // The poll under way goes on; what is new waits for its end.
        region.pendingChecks = std::move(folders);
        return;
    }
    // Folders without a watch are compared with the disk now and then instead: their own
    // walk, stepped between the region's batches, so that events of the watched folders never
    // wait for it and the region stays caught up meanwhile. Not through the inbox: tens of
    // thousands of them would overflow it, and every overflow costs the region a
    // verification.
    region.poll = options_.indexer->beginReconcileWalk(
        folders, {}, std::set<std::string>(region.spec.children.begin(), region.spec.children.end()));
    later(region, [](RegionalRecovery& engine, Region& next) { engine.stepPoll(next); });
}

void RegionalRecovery::stepPoll(Region& region) {
    if (!region.poll) {
        return;
    }
    if (region.blocked || region.walk) {
        region.poll.reset(); // paused, or being verified whole
        return;
    }
    stepsTaken_ += 1;
    try {
        int64_t before = writtenEntries();
        bool done = options_.indexer->stepSubtreeWalk(*region.poll, options_.roots,
                                                      IndexSynchronization::stepDirectories);
        resultsChanged_ = resultsChanged_ || writtenEntries() != before;
        if (done) {
            region.poll.reset();
            startPoll(region, {});
            publish(true);
            return;
        }
        later(region, [](RegionalRecovery& engine, Region& next) { engine.stepPoll(next); });
    } catch (const std::exception& error) {
        block(region, error);
        publish(true);
    }
}

int64_t RegionalRecovery::writtenEntries() const {
    FileIndexer::ReconcileTotals totals = options_.indexer->reconcileTotals();
    return totals.added + totals.removed + totals.updated;
}

void RegionalRecovery::publish(bool force) {
    if (!isActive()) {
        return;
    }
    int64_t generation;
    {
        std::lock_guard guard(lock_);
        generation = receivedGeneration_;
    }
    double current = now();
    int paused = 0;
    int verifying = 0;
    int readyRegions = 0;
    bool unwatched = false;
    for (auto& region : regions_) {
        paused += region->blocked ? 1 : 0;
        verifying += region->walk ? 1 : 0;
        if (region->caughtUp()) {
            readyRegions += 1;
            if (!region->healthySince) {
                region->healthySince = current;
            }
        }
        unwatched = unwatched || !region->unwatched.empty();
    }
    if (unwatched && !pollScheduled_) {
        pollScheduled_ = true;
        std::weak_ptr<RegionalRecovery> weak = weak_from_this();
        options_.queue->asyncAfter(options_.unwatchedPollSeconds, [weak] {
            if (auto self = weak.lock(); self && self->isActive()) {
                self->pollUnwatched();
            }
        });
    }
    if (verifying == 0) {
        verificationChecks_ = 0; // the next verification counts from nothing
    }
    int64_t checks = verificationChecks_;
    bool ready = !regions_.empty() && readyRegions == int(regions_.size());
    {
        std::lock_guard guard(lock_);
        caughtUp_ = ready && receivedGeneration_ == generation;
    }
    if (ready) {
        scheduleMemoryRelease();
    }
    SearchIndex& index = *options_.index;
    try {
        std::pair<int, int> state{paused, verifying};
        bool transition = !lastReady_ || *lastReady_ != ready;
        if (transition) {
            index.setMetadata(key::needsRecovery, key::flag(!ready));
            lastReady_ = ready;
            diagnosticTransitions_ += 1;
        }
        if (transition || lastDiagnosticState_ != state ||
            current - lastDiagnosticTime_ >= diagnosticSeconds) {
            DebugLog::write(std::string("recovery state ready=") + boolean(ready) + " paused=" +
                            std::to_string(paused) + " verifying=" + std::to_string(verifying) +
                            " total=" + std::to_string(regions_.size()) +
                            " transitions=" + std::to_string(diagnosticTransitions_));
            lastDiagnosticState_ = state;
            lastDiagnosticTime_ = current;
        }
        if (ready) {
            // What the next launch resumes from: every region is complete at least here.
            uint64_t cursor = UINT64_MAX;
            for (auto& region : regions_) {
                cursor = std::min(cursor, region->sync->unsignedValue(key::eventID));
            }
            if (cursor != lastCursor_) {
                index.setMetadata({{key::eventID, std::to_string(cursor)},
                                   {key::historyIdentity, identity_},
                                   {key::verificationBlocked, key::flag(false)},
                                   {key::verificationInProgress, key::flag(false)},
                                   {key::automaticVerificationAttempts, "0"}});
                lastCursor_ = cursor;
            }
        }
    } catch (const std::exception& error) {
        DebugLog::write(std::string("recovery state not saved error=") + error.what());
    }
    if (!ready) {
        if (!pendingSince_) {
            pendingSince_ = current;
        }
    } else {
        pendingSince_.reset();
    }
    // Short catch-ups do not change the status line.
    if (paused == 0 && verifying == 0 && !ready && current - *pendingSince_ < 1) {
        return;
    }
    if (!force && current - lastStatus_ < 1) {
        return;
    }
    lastStatus_ = current;
    bool busy = false;
    std::string text = statusText(busy, paused, verifying, readyRegions, checks);
    if (verifying > 0 && current - lastProgressLog_ >= diagnosticSeconds) {
        DebugLog::write(
            "recovery progress checks=" + std::to_string(checks) +
            " ready=" + std::to_string(readyRegions) + " verifying=" + std::to_string(verifying) +
            " paused=" + std::to_string(paused) + " total=" + std::to_string(regions_.size()));
        lastProgressLog_ = current;
    }
    if (text != lastText_ || resultsChanged_) {
        lastText_ = text;
        resultsChanged_ = false;
        if (options_.status) {
            options_.status(text, busy);
        }
    }
}

void RegionalRecovery::scheduleMemoryRelease() {
    if (memoryReleaseScheduled_ || stepsTaken_ == stepsAtMemoryRelease_) {
        return;
    }
    memoryReleaseScheduled_ = true;
    std::weak_ptr<RegionalRecovery> weak = weak_from_this();
    options_.queue->asyncAfter(idleMemorySeconds, [weak, steps = stepsTaken_] {
        if (auto self = weak.lock(); self && self->isActive()) {
            self->releaseIdleMemory(steps);
        }
    });
}

void RegionalRecovery::releaseIdleMemory(int64_t stepsWhenScheduled) {
    memoryReleaseScheduled_ = false;
    if (!isCaughtUp()) {
        return; // the next publish that finds every region caught up schedules it again
    }
    if (stepsTaken_ != stepsWhenScheduled) {
        scheduleMemoryRelease();
        return;
    }
    double started = uptimeSeconds();
    if (options_.idle) {
        try {
            options_.idle();
        } catch (const std::exception& error) {
            DebugLog::write(std::string("idle work failed error=") + error.what());
        }
    }
    options_.index->releaseMemory();
    stepsAtMemoryRelease_ = stepsWhenScheduled;
    DebugLog::write("memory released idle ms=" +
                    shortestDecimal((uptimeSeconds() - started) * 1000));
}

std::string RegionalRecovery::statusText(bool& busy, int paused, int verifying, int ready,
                                         int64_t checks) {
    const std::string dot = " \u2022 ";
    int total = int(regions_.size());
    busy = false;
    if (verifying > 0) {
        busy = true;
        return "Verifying" + dot + groupedNumber(checks) + " folder checks" + dot +
               std::to_string(ready) + "/" + std::to_string(total) + " regions ready";
    }
    if (paused == 0 && ready < total) {
        return "Recovering changes" + dot + "independent regions";
    }
    if (paused == 0) {
        size_t unwatched = 0;
        for (auto& region : regions_) {
            unwatched += region->unwatched.size();
        }
        std::string errors = options_.index->metadata(key::scanErrors).value_or("0");
        std::string text = errors == "0" ? "Index ready" + dot + "watching for changes"
                                         : "Partial index" + dot + errors + " inaccessible paths" +
                                               dot + "Index Coverage\u2026";
        if (unwatched > 0) {
            // Not watching them, so not claiming to: the count, why, and what would let it.
            text = (errors == "0" ? "Index ready"
                                  : "Partial index" + dot + errors + " inaccessible paths") +
                   dot + groupedNumber(int64_t(unwatched)) +
                   (unwatched == 1 ? " folder is" : " folders are") + " checked every " +
                   std::to_string(int64_t(options_.unwatchedPollSeconds)) +
                   " s to leave file watches for other programs" + dot +
                   "raise fs.inotify.max_user_watches";
        }
        return text;
    }
    std::optional<double> earliest;
    std::string firstPaused;
    for (auto& region : regions_) {
        if (!region->blocked) {
            continue;
        }
        if (firstPaused.empty()) {
            firstPaused = region->spec.path;
        }
        if (region->retryAt && (!earliest || *region->retryAt < *earliest)) {
            earliest = region->retryAt;
        }
    }
    if (earliest) {
        return "Index catching up" + dot + std::to_string(paused) + " regions paused" + dot +
               "automatic retry at " + shortTime(*earliest);
    }
    if (paused == total) {
        return "Index out of date" + dot + "all regions paused" + dot + "Verify Index to retry";
    }
    return "Index out of date" + dot + std::to_string(paused) + " regions paused (" + firstPaused +
           ")" + dot + "other regions watching" + dot + "Verify Index to retry";
}

void RegionalRecovery::stop() {
    {
        std::lock_guard guard(lock_);
        if (!active_) {
            return;
        }
        active_ = false;
    }
    options_.queue->sync([this] {
        for (auto& region : regions_) {
            if (region->verificationStarted) {
                DebugLog::write(
                    "region verification interrupted operation=" + region->verificationID +
                    " seconds=" + shortestDecimal(now() - *region->verificationStarted));
            }
            region->inbox->invalidate();
            if (region->watcher) {
                region->watcher->stop();
                region->watcher.reset();
            }
        }
    });
}

} // namespace nexdir
