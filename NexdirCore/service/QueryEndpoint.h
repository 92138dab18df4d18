#pragma once

#include "QueryProtocol.h"

#include "FileDescriptor.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace nexdir {

class NameSearch;

// Where the engine keeping the index at `indexPath` answers: a socket named after a hash of
// the index's real path, in "quelmo" under $XDG_RUNTIME_DIR (under the application's data
// directory when that is unset). Absent when the path would not fit a socket address.
std::optional<std::string> queryEndpointPath(const std::string& indexPath);

// The path an index is known by on both ends: its real path when it has one.
std::string canonicalIndexPath(const std::string& indexPath);

// The running engine's answer to command-line searches: a Unix socket that takes one request
// per connection, answers it and closes. Only processes of this user are served; a request
// too large, too slow or malformed gets an error reply, and none of them disturbs the others.
// Requests are answered on their own threads, at most `maximumConnections` at a time.
class QueryEndpoint {
public:
    using Answer = std::function<QueryAnswer(const QueryRequest&)>;

    static constexpr int maximumConnections = 8;
    // The time a peer has to send its request, and to take the reply.
    static constexpr int requestMilliseconds = 1000;
    static constexpr int replyMilliseconds = 5000;

    // Listens at `socketPath` (by default queryEndpointPath(indexPath)) for the index at
    // `indexPath`, after creating its folder with mode 0700 or checking that an existing one
    // is this user's and closed to others; a socket file left there is replaced. Throws
    // FileSystemError when it cannot listen.
    QueryEndpoint(const std::string& indexPath, Answer answer, std::string socketPath = {});
    // Stops listening, lets requests in hand finish, and removes the socket file.
    ~QueryEndpoint();
    QueryEndpoint(const QueryEndpoint&) = delete;
    QueryEndpoint& operator=(const QueryEndpoint&) = delete;

    const std::string& socketPath() const { return socketPath_; }

    // How many folders the engine's watch limit leaves unwatched now; called on a
    // connection's thread.
    using UnwatchedCount = std::function<int64_t()>;

    // Answers as the panel does: searches from `names`, largest files from its index; every
    // answer says how many folders `unwatched` (when given) counts.
    static Answer answering(NameSearch& names, UnwatchedCount unwatched = {});
    // The endpoint of an engine that keeps `indexPath` live and searches it with `names`; null
    // (logged) when it cannot listen, as command-line searches then read the index themselves.
    static std::unique_ptr<QueryEndpoint> start(const std::string& indexPath, NameSearch& names,
                                                UnwatchedCount unwatched = {});

private:
    void acceptConnections();
    void serve(FileDescriptor connection);

    std::string indexPath_;
    Answer answer_;
    std::string socketPath_;
    ino_t socketInode_ = 0;
    FileDescriptor listener_;
    FileDescriptor wakeRead_;
    FileDescriptor wakeWrite_;
    std::atomic<bool> stopping_{false};
    int64_t refused_ = 0;            // peers of other users; the accept thread's
    double lastRefusalLogged_ = -60; // uptime seconds; the accept thread's
    // Requests are served on detached threads; the destructor waits for the count to drop.
    std::mutex connectionsLock_;
    std::condition_variable connectionsDone_;
    int active_ = 0; // guarded by connectionsLock_
    std::thread acceptor_;
};

// How long an asker waits for the rest of a reply after its first byte.
inline constexpr int wholeReplyMilliseconds = 1000;

// Asks the engine that keeps `request.indexPath` live. Absent, with `why` saying what
// happened, when nothing answers, the socket is stale or not this user's, the engine keeps
// another index, it does not begin its reply within `firstByteMilliseconds` or end it within
// wholeReplyMilliseconds of its first byte, or the reply is cut short: the caller then reads
// the index itself.
std::optional<QueryAnswer> askQueryEndpoint(const QueryRequest& request, std::string& why,
                                            int firstByteMilliseconds = 200,
                                            std::string socketPath = {});

} // namespace nexdir
