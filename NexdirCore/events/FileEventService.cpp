#include "FileEventService.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "Paths.h"
#include "WatchBudget.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace nexdir {

namespace {

constexpr uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                               IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                               IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

uint64_t wallMicroseconds() {
    return uint64_t(unixSeconds() * 1e6);
}

constexpr double budgetCheckSeconds = 60;

} // namespace

FileEventService& FileEventService::shared() {
    static FileEventService& service = []() -> FileEventService& {
        static FileEventService instance;
        // A seam for tests of the command line: the kernel's limit, lowered for this process.
        if (const char* limit = std::getenv("NEXDIR_WATCH_LIMIT"); limit && *limit) {
            instance.setWatchLimit(std::strtoull(limit, nullptr, 10));
        }
        return instance;
    }();
    return service;
}

FileEventService::FileEventService(size_t journalCapacity) : journal_(journalCapacity) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.valid()) {
        DebugLog::write("file events unavailable errorCode=" + std::to_string(errno));
    }
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    coveredFrom_ = currentEventID();
    home_ = homeDirectory();
    limit_ = WatchBudget::userLimit().value_or(SIZE_MAX);
    others_ = inotify_.valid() ? WatchBudget::heldByOthers(inotify_.get()) : 0;
    nextBudgetCheck_ = uptimeSeconds() + budgetCheckSeconds;
    reader_ = std::thread([this] { run(); });
}

FileEventService::~FileEventService() {
    stopping_ = true;
    uint64_t one = 1;
    if (!wake_.valid() || write(wake_.get(), &one, sizeof one) != sizeof one) {
        // The reader then notices `stopping_` at its next poll timeout.
    }
    reader_.join();
}

uint64_t FileEventService::nextEventID() {
    lastID_ = std::max(lastID_ + 1, wallMicroseconds());
    return lastID_;
}

uint64_t FileEventService::currentEventID() {
    std::lock_guard guard(lock_);
    lastID_ = std::max(lastID_, wallMicroseconds());
    return lastID_;
}

void FileEventService::willList(const std::string& folderPath) {
    if (!inotify_.valid()) {
        return;
    }
    std::lock_guard guard(lock_);
    uint8_t rank = WatchBudget::rank(folderPath, home_);
    size_t held = watches_.size();
    int wd = addWatch(folderPath, rank);
    if (wd < 0) {
        if (errno != ENOSPC) {
            return; // a folder that vanished before its watch is not there to list either
        }
        // The kernel refused below our share: the user's other programs took what was left.
        // They are owed the reserve, the coldest folders giving up their watches for it.
        size_t limit = standInLimit_.value_or(limit_);
        size_t before = others_;
        others_ = limit > held ? limit - held : 0;
        if (others_ != before) {
            applyBudget("others");
        }
        noteUnwatched(folderPath);
        return;
    }
    if (watches_.size() == held || watches_.size() <= watchBudget_()) {
        return; // watched already, or within the share
    }
    // Past the share: a colder folder gives up its watch for this one, or this one goes
    // without.
    if (std::optional<int> coldest = coldestAbove(rank)) {
        std::string colder(watches_[*coldest].path);
        inotify_rm_watch(inotify_.get(), *coldest);
        watches_.erase(*coldest);
        noteUnwatched(colder);
        return;
    }
    inotify_rm_watch(inotify_.get(), wd);
    watches_.erase(wd);
    noteUnwatched(folderPath);
}

int FileEventService::addWatch(const std::string& folder, uint8_t rank) {
    int wd = inotify_add_watch(inotify_.get(), folder.c_str(), watchMask);
    if (wd < 0 || watches_.count(wd)) {
        return wd; // refused, or watched already (which costs nothing)
    }
    // The stand-in limit refuses as the kernel does, counting the other programs' watches.
    if (standInLimit_ && watches_.size() + others_ >= *standInLimit_) {
        inotify_rm_watch(inotify_.get(), wd);
        errno = ENOSPC;
        return -1;
    }
    watches_.emplace(wd, Watch{std::pmr::string(folder, &watchMemory_), rank});
    byRank_[rank].push_back(wd);
    rankEntries_ += 1;
    unwatched_.erase(folder);
    if (rankEntries_ > 2 * watches_.size() + 1024) {
        // Entries of removed watches outnumber the rest: start the lists afresh.
        for (auto& entries : byRank_) {
            entries.clear();
        }
        for (const auto& [each, watch] : watches_) {
            byRank_[watch.rank].push_back(each);
        }
        rankEntries_ = watches_.size();
    }
    return wd;
}

std::optional<int> FileEventService::coldestAbove(uint8_t above) {
    for (int rank = 255; rank > above; --rank) {
        std::vector<int>& entries = byRank_[size_t(rank)];
        while (!entries.empty()) {
            int wd = entries.back();
            auto watch = watches_.find(wd);
            if (watch != watches_.end() && watch->second.rank == rank) {
                return wd;
            }
            entries.pop_back(); // its watch is gone
            rankEntries_ -= 1;
        }
    }
    return std::nullopt;
}

size_t FileEventService::releaseColdest(size_t count) {
    size_t released = 0;
    while (released < count) {
        std::optional<int> coldest = coldestAbove(0);
        if (!coldest) {
            break;
        }
        std::string folder(watches_[*coldest].path);
        inotify_rm_watch(inotify_.get(), *coldest);
        watches_.erase(*coldest);
        noteUnwatched(folder);
        released += 1;
    }
    return released;
}

void FileEventService::noteUnwatched(const std::string& folder) {
    if (!unwatched_.insert(folder).second) {
        return;
    }
    if (!loggedWatchLimit_) {
        loggedWatchLimit_ = true;
        DebugLog::write("watch budget reached budget=" + std::to_string(watchBudget_()) +
                        " limit=" + std::to_string(limit_) + " others=" +
                        std::to_string(others_) + " path=" + folder +
                        " raise=" + WatchBudget::raiseLimitCommand);
    }
    tellEveryStream(folder);
}

void FileEventService::tellEveryStream(const std::string& folder) {
    for (auto& [token, stream] : streams_) {
        tellUnwatched(stream, folder);
    }
}

size_t FileEventService::watchBudget() {
    std::lock_guard guard(lock_);
    return watchBudget_();
}

size_t FileEventService::watchBudget_() const {
    return WatchBudget::allowed(standInLimit_.value_or(limit_), others_);
}

void FileEventService::checkBudget() {
    if (!inotify_.valid()) {
        return;
    }
    // Read outside the lock: /proc of every process of the user takes a while.
    std::optional<size_t> limit = WatchBudget::userLimit();
    bool standIn;
    {
        std::lock_guard guard(lock_);
        standIn = standInLimit_.has_value();
    }
    size_t others = WatchBudget::heldByOthers(inotify_.get(), standIn);
    std::lock_guard guard(lock_);
    if (limit && *limit != limit_ && limit_ != SIZE_MAX) {
        DebugLog::write("watch limit changed from=" + std::to_string(limit_) +
                        " to=" + std::to_string(*limit));
    }
    limit_ = limit.value_or(limit_);
    others_ = others;
    applyBudget("check");
}

void FileEventService::applyBudget(const char* reason) {
    size_t budget = watchBudget_();
    size_t held = watches_.size();
    if (held > budget) {
        size_t released = releaseColdest(held - budget);
        DebugLog::write("file watches given back count=" + std::to_string(released) +
                        " budget=" + std::to_string(budget) + " limit=" +
                        std::to_string(standInLimit_.value_or(limit_)) +
                        " others=" + std::to_string(others_) + " reason=" + reason);
        return;
    }
    if (held == budget || unwatched_.empty()) {
        return;
    }
    // Room again: the warmest folders without a watch take one, and are checked once for
    // what changed while they had none.
    std::vector<std::pair<uint8_t, std::string>> waiting;
    for (const std::string& folder : unwatched_) {
        waiting.push_back({WatchBudget::rank(folder, home_), folder});
    }
    std::sort(waiting.begin(), waiting.end());
    size_t taken = 0;
    for (const auto& [rank, folder] : waiting) {
        if (watches_.size() >= budget) {
            break;
        }
        if (addWatch(folder, rank) < 0) {
            if (errno == ENOSPC) {
                break;
            }
            unwatched_.erase(folder); // gone
            continue;
        }
        toCheck_.insert(folder);
        tellEveryStream(folder);
        taken += 1;
    }
    if (taken > 0) {
        DebugLog::write("file watches taken again count=" + std::to_string(taken) +
                        " budget=" + std::to_string(budget) +
                        " unwatched=" + std::to_string(unwatched_.size()));
    }
}

void FileEventService::tellUnwatched(const Stream& stream, const std::string& folder) {
    // Under the stream's first root, whatever the folder: the notices of a whole walk past
    // the limit then merge into one, and the stream's owner asks for the list itself.
    if (accepts(stream.options, folder)) {
        stream.sink({stream.options.roots.front(), EventFlags::folderUnwatched, nextEventID()});
    }
}

uint64_t FileEventService::subscribe(const StreamOptions& options, Sink sink) {
    std::lock_guard guard(lock_);
    if (options.since != sinceNow) {
        if (options.since < coveredFrom_ || options.roots.empty()) {
            // History cannot be given: the region verifies itself against the disk.
            sink({options.roots.empty() ? "/" : options.roots.front(), EventFlags::mustScanSubDirs,
                  nextEventID()});
        } else {
            journal_.forEach([&](const FileSystemEvent& event) {
                bool after =
                    options.replayOverlap ? event.id >= options.since : event.id > options.since;
                if (after && accepts(options, event.path)) {
                    sink(event);
                }
            });
        }
        sink({options.roots.empty() ? "/" : options.roots.front(), EventFlags::historyDone,
              nextEventID()});
    }
    uint64_t token = nextToken_++;
    Stream& stream = streams_[token] = {options, std::move(sink)};
    for (const auto* folders : {&unwatched_, &toCheck_}) {
        for (const std::string& folder : *folders) {
            if (accepts(stream.options, folder)) {
                tellUnwatched(stream, folder);
                break; // one notice says there are some
            }
        }
    }
    return token;
}

void FileEventService::unsubscribe(uint64_t token) {
    std::lock_guard guard(lock_);
    streams_.erase(token);
}

size_t FileEventService::watchedFolders() {
    std::lock_guard guard(lock_);
    return watches_.size();
}

size_t FileEventService::unwatchedFolders() {
    std::lock_guard guard(lock_);
    return unwatched_.size();
}

std::vector<std::string> FileEventService::unwatchedFolders(uint64_t token) {
    std::lock_guard guard(lock_);
    std::vector<std::string> folders;
    auto stream = streams_.find(token);
    if (stream == streams_.end()) {
        return folders;
    }
    for (const std::string& root : stream->second.options.roots) {
        // The folders of one root lie together in the sorted set, from the root on.
        for (auto it = unwatched_.lower_bound(root);
             it != unwatched_.end() && it->starts_with(root);) {
            // One deleted inside another unwatched folder sends no event to forget it by.
            struct stat info {};
            if (lstat(it->c_str(), &info) != 0 && errno == ENOENT) {
                it = unwatched_.erase(it);
                continue;
            }
            if (accepts(stream->second.options, *it)) {
                folders.push_back(*it);
            }
            ++it;
        }
    }
    return folders;
}

void FileEventService::setWatchLimit(size_t limit) {
    size_t others = inotify_.valid() ? WatchBudget::heldByOthers(inotify_.get(), true) : 0;
    std::lock_guard guard(lock_);
    standInLimit_ = limit;
    others_ = others;
    applyBudget("limit");
}

void FileEventService::setHome(const std::string& home) {
    std::lock_guard guard(lock_);
    home_ = standardizePath(home);
}

std::vector<std::string> FileEventService::takeFoldersToCheck(uint64_t token) {
    std::lock_guard guard(lock_);
    std::vector<std::string> folders;
    auto stream = streams_.find(token);
    if (stream == streams_.end()) {
        return folders;
    }
    for (auto it = toCheck_.begin(); it != toCheck_.end();) {
        if (accepts(stream->second.options, *it)) {
            folders.push_back(*it);
            it = toCheck_.erase(it);
        } else {
            ++it;
        }
    }
    return folders;
}

bool FileEventService::accepts(const StreamOptions& options, const std::string& path) {
    bool underRoot = false;
    for (const std::string& root : options.roots) {
        underRoot = underRoot || isAtOrUnder(path, root);
    }
    if (!underRoot) {
        return false;
    }
    for (const std::string& excluded : options.exclusions) {
        if (isAtOrUnder(path, excluded)) {
            return false;
        }
    }
    return true;
}

void FileEventService::publish(const FileSystemEvent& event) {
    if (uint64_t dropped = journal_.add(event)) {
        coveredFrom_ = dropped;
    }
    for (auto& [token, stream] : streams_) {
        if (accepts(stream.options, event.path)) {
            stream.sink(event);
        }
    }
}

void FileEventService::rootsMoved(const std::string& from) {
    // A stream's root moved or went: its events would now come under another path, or none.
    for (auto& [token, stream] : streams_) {
        for (const std::string& root : stream.options.roots) {
            if (isAtOrUnder(root, from)) {
                stream.sink({root, EventFlags::rootChanged, 0});
            }
        }
    }
}

void FileEventService::renameWatches(const std::string& from, const std::string& to) {
    rootsMoved(from);
    for (auto& [wd, watch] : watches_) {
        if (isAtOrUnder(watch.path, from)) {
            watch.path.replace(0, from.size(), to);
        }
    }
}

void FileEventService::forgetUnwatched(const std::string& under) {
    for (std::set<std::string>* folders : {&unwatched_, &toCheck_}) {
        for (auto it = folders->lower_bound(under);
             it != folders->end() && it->starts_with(under);) {
            it = isAtOrUnder(*it, under) ? folders->erase(it) : std::next(it);
        }
    }
}

void FileEventService::forgetWatches(const std::string& under) {
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (isAtOrUnder(it->second.path, under)) {
            // A watch the kernel already dropped (its folder is gone) fails with EINVAL: it is
            // forgotten all the same.
            inotify_rm_watch(inotify_.get(), it->first);
            it = watches_.erase(it);
        } else {
            ++it;
        }
    }
}

void FileEventService::run() {
    std::vector<char> buffer(256 * 1024);
    // poll ignores a descriptor of -1, so either may be missing.
    pollfd descriptors[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    while (!stopping_) {
        // The budget is kept to once a minute; without the eventfd the thread looks for
        // `stopping_` every 100 ms.
        double now = uptimeSeconds();
        if (now >= nextBudgetCheck_) {
            checkBudget();
            nextBudgetCheck_ = now + budgetCheckSeconds;
        }
        int timeout = int(std::max(0.0, nextBudgetCheck_ - now) * 1000) + 1;
        if (!wake_.valid()) {
            timeout = std::min(timeout, 100);
        }
        int ready = poll(descriptors, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            DebugLog::write("file events stopped errorCode=" + std::to_string(errno));
            return;
        }
        if (stopping_ || (descriptors[1].revents & POLLIN)) {
            return;
        }
        if (!(descriptors[0].revents & POLLIN)) {
            continue;
        }
        // Drain the kernel queue completely before handling, so the queue never backs up
        // behind our own work.
        size_t filled = 0;
        while (true) {
            if (buffer.size() - filled < 64 * 1024) {
                buffer.resize(buffer.size() * 2);
            }
            ssize_t count = read(inotify_.get(), buffer.data() + filled, buffer.size() - filled);
            if (count <= 0) {
                break; // EAGAIN: drained
            }
            filled += size_t(count);
        }
        if (filled > 0) {
            handle(buffer.data(), filled);
        }
    }
}

void FileEventService::handle(const char* buffer, size_t length) {
    std::lock_guard guard(lock_);
    // A folder moved away shows as IN_MOVED_FROM; its IN_MOVED_TO, when it stays in view,
    // follows with the same cookie.
    std::map<uint32_t, std::string> movedAway;
    for (size_t offset = 0; offset < length;) {
        auto event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += sizeof(inotify_event) + event->len;
        std::string name = event->len ? std::string(event->name) : std::string();

        if (event->mask & IN_Q_OVERFLOW) {
            // Events were lost: every stream is told, and no history before this point can
            // be given again.
            uint64_t id = nextEventID();
            journal_.clear();
            coveredFrom_ = id;
            for (auto& [token, stream] : streams_) {
                stream.sink({stream.options.roots.empty() ? "/" : stream.options.roots.front(),
                             EventFlags::kernelDropped, id});
            }
            continue;
        }
        auto watch = watches_.find(event->wd);
        if (watch == watches_.end()) {
            continue;
        }
        const std::string folder(watch->second.path);
        if (event->mask & IN_IGNORED) {
            watches_.erase(watch);
            continue;
        }
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
            uint32_t flags =
                event->mask & IN_UNMOUNT ? EventFlags::unmount : EventFlags::rootChanged;
            for (auto& [token, stream] : streams_) {
                for (const std::string& root : stream.options.roots) {
                    if (root == folder) {
                        stream.sink(
                            {root, flags, flags == EventFlags::rootChanged ? 0 : nextEventID()});
                    }
                }
            }
            continue;
        }
        std::string child = appendingPathComponent(folder, name);
        if (event->mask & IN_ISDIR) {
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
                forgetUnwatched(child); // gone from here; a walk of its new place tells again
            }
            if (event->mask & IN_MOVED_FROM) {
                movedAway[event->cookie] = child;
            } else if (event->mask & IN_MOVED_TO) {
                if (auto from = movedAway.find(event->cookie); from != movedAway.end()) {
                    renameWatches(from->second, child);
                    movedAway.erase(from);
                }
            }
        }
        uint32_t flags = 0;
        if ((event->mask & IN_ATTRIB) && name.empty()) {
            flags = EventFlags::itemIsDir | EventFlags::itemInodeMetaMod;
        }
        publish({folder, flags, nextEventID()});
    }
    for (const auto& [cookie, path] : movedAway) {
        rootsMoved(path);
        forgetWatches(path); // moved out of view: its old path means nothing now
    }
}

} // namespace nexdir
