#include "FileEventService.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Paths.h"

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

std::string maximumUserWatches() {
    std::ifstream file("/proc/sys/fs/inotify/max_user_watches");
    std::string value;
    file >> value;
    return value.empty() ? "unknown" : value;
}

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

FileEventService::FileEventService(size_t journalCapacity) : journalCapacity_(journalCapacity) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.valid()) {
        DebugLog::write("file events unavailable errorCode=" + std::to_string(errno));
    }
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    coveredFrom_ = currentEventID();
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
    int wd = -1;
    // The stand-in limit refuses as the kernel does: a folder already watched costs nothing.
    bool alreadyWatched = watches_.size() >= watchLimit_ &&
                          std::any_of(watches_.begin(), watches_.end(), [&](const auto& watch) {
                              return watch.second == folderPath;
                          });
    if (watches_.size() >= watchLimit_ && !alreadyWatched) {
        errno = ENOSPC;
    } else {
        wd = inotify_add_watch(inotify_.get(), folderPath.c_str(), watchMask);
    }
    if (wd >= 0) {
        watches_[wd] = folderPath;
        unwatched_.erase(folderPath);
        return;
    }
    // A folder that vanished before its watch is simply not there to list either.
    if (errno != ENOSPC || !unwatched_.insert(folderPath).second) {
        return;
    }
    if (!loggedWatchLimit_) {
        loggedWatchLimit_ = true;
        DebugLog::write("watch limit reached limit=" + maximumUserWatches() +
                        " path=" + folderPath);
    }
    for (auto& [token, stream] : streams_) {
        tellUnwatched(stream, folderPath);
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
            for (const FileSystemEvent& event : journal_) {
                bool after =
                    options.replayOverlap ? event.id >= options.since : event.id > options.since;
                if (after && accepts(options, event.path)) {
                    sink(event);
                }
            }
        }
        sink({options.roots.empty() ? "/" : options.roots.front(), EventFlags::historyDone,
              nextEventID()});
    }
    uint64_t token = nextToken_++;
    Stream& stream = streams_[token] = {options, std::move(sink)};
    for (const std::string& folder : unwatched_) {
        if (accepts(stream.options, folder)) {
            tellUnwatched(stream, folder);
            break; // one notice says there are some
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
    std::lock_guard guard(lock_);
    watchLimit_ = limit;
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
    journal_.push_back(event);
    if (journal_.size() > journalCapacity_) {
        coveredFrom_ = journal_.front().id;
        journal_.pop_front();
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
    for (auto& [wd, path] : watches_) {
        if (isAtOrUnder(path, from)) {
            path = to + path.substr(from.size());
        }
    }
}

void FileEventService::forgetUnwatched(const std::string& under) {
    for (auto it = unwatched_.lower_bound(under);
         it != unwatched_.end() && it->starts_with(under);) {
        it = isAtOrUnder(*it, under) ? unwatched_.erase(it) : std::next(it);
    }
}

void FileEventService::forgetWatches(const std::string& under) {
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (isAtOrUnder(it->second, under)) {
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
    // poll ignores a descriptor of -1, so either may be missing; without the eventfd the
    // thread looks for `stopping_` every 100 ms instead.
    pollfd descriptors[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    int timeout = wake_.valid() ? -1 : 100;
    while (!stopping_) {
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
        const std::string folder = watch->second;
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
