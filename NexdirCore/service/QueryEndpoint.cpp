#include "QueryEndpoint.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "NameSearch.h"
#include "NexdirError.h"
#include "Paths.h"
#include "PrivateFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace nexdir {

namespace {

// Replies are bounded by the result limit; this only stops a peer that is not an engine.
constexpr size_t maximumReplyBytes = 64 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

std::string endpointFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base =
        runtime && runtime[0] == '/' ? std::string(runtime) : applicationDataDirectory();
    return standardizePath(base) + "/quelmo";
}

// True when `folder` is a real folder of this user that no one else may enter.
bool isPrivateFolder(const std::string& folder) {
    struct stat info {};
    return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 077) == 0;
}

// Rounded up, so that a wait for the deadline never ends before it.
int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

// Waits for `events` on `fd` (or for `wake`, when given) until `deadline`; false on timeout,
// error or wake.
bool waitFor(int fd, short events, Clock::time_point deadline, int wake = -1) {
    while (true) {
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int ready = poll(fds, wake >= 0 ? 2 : 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (wake >= 0 && fds[1].revents)) {
            return false;
        }
        return true;
    }
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline, int wake = -1) {
    while (!bytes.empty()) {
        ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes.remove_prefix(size_t(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline, wake)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

// Reads until the peer stops sending. False on timeout, error, wake, or more than `limit`
// bytes.
bool receiveAll(int fd, std::string& bytes, size_t limit, Clock::time_point firstByte,
                Clock::time_point deadline, int wake = -1) {
    char buffer[16384];
    while (true) {
        if (!waitFor(fd, POLLIN, bytes.empty() ? std::min(firstByte, deadline) : deadline, wake)) {
            return false;
        }
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            // A peer that closes without reading what it was sent resets the connection after
            // its own last bytes: what came is all there is ("busy" is sent that way).
            return errno == ECONNRESET && !bytes.empty();
        }
        bytes.append(buffer, size_t(got));
        if (bytes.size() > limit) {
            return false;
        }
    }
}

std::optional<uid_t> peerUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return std::nullopt;
    }
    return credentials.uid;
}

bool fillAddress(sockaddr_un& address, const std::string& path) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

[[noreturn]] void fail(const std::string& what, int errorCode) {
    throw FileSystemError(what + ": " + std::strerror(errorCode), errorCode);
}

} // namespace

std::string canonicalIndexPath(const std::string& indexPath) {
    char* real = realpath(indexPath.c_str(), nullptr);
    if (!real) {
        return standardizePath(indexPath);
    }
    std::string path(real);
    std::free(real);
    return path;
}

std::optional<std::string> queryEndpointPath(const std::string& indexPath) {
    // FNV-1a: stable across releases and builds, as both ends must agree on it.
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : canonicalIndexPath(indexPath)) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.sock", (unsigned long long)hash);
    std::string path = endpointFolder() + name;
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        return std::nullopt;
    }
    return path;
}

QueryEndpoint::QueryEndpoint(const std::string& indexPath, Answer answer, std::string socketPath)
    : indexPath_(canonicalIndexPath(indexPath)), answer_(std::move(answer)),
      socketPath_(std::move(socketPath)) {
    if (socketPath_.empty()) {
        std::optional<std::string> path = queryEndpointPath(indexPath);
        if (!path) {
            throw FileSystemError("The query socket's path is too long", ENAMETOOLONG);
        }
        socketPath_ = *path;
    }
    std::string folder = socketPath_.substr(0, socketPath_.rfind('/'));
    createPrivateFolders(folder);
    struct stat info {};
    if (lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & 077) != 0) {
        chmod(folder.c_str(), 0700);
    }
    if (!isPrivateFolder(folder)) {
        throw FileSystemError(folder + " is not a private folder of this user", EPERM);
    }
    sockaddr_un address;
    fillAddress(address, socketPath_);
    listener_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_.valid()) {
        fail("Could not create the query socket", errno);
    }
    // A socket file left by an engine that was killed answers no one; one engine per index
    // (the application lock) means no live one is replaced.
    unlink(socketPath_.c_str());
    if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        fail("Could not create " + socketPath_, errno);
    }
    chmod(socketPath_.c_str(), 0600);
    if (listen(listener_.get(), 16) != 0) {
        fail("Could not listen at " + socketPath_, errno);
    }
    if (lstat(socketPath_.c_str(), &info) == 0) {
        socketInode_ = info.st_ino;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail("Could not create a pipe", errno);
    }
    wakeRead_.reset(pipeEnds[0]);
    wakeWrite_.reset(pipeEnds[1]);
    acceptor_ = std::thread([this] { acceptConnections(); });
    DebugLog::write("query endpoint listening path=" + socketPath_);
}

QueryEndpoint::~QueryEndpoint() {
    stopping_ = true;
    (void)!write(wakeWrite_.get(), "x", 1);
    acceptor_.join();
    {
        std::unique_lock<std::mutex> lock(connectionsLock_);
        connectionsDone_.wait(lock, [this] { return active_ == 0; });
    }
    // Only the socket this endpoint made: a later engine may have replaced it.
    struct stat info {};
    if (lstat(socketPath_.c_str(), &info) == 0 && info.st_ino == socketInode_) {
        unlink(socketPath_.c_str());
    }
}

void QueryEndpoint::acceptConnections() {
    while (!stopping_) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            DebugLog::write("query endpoint stopped errorCode=" + std::to_string(errno));
            return;
        }
        if (stopping_ || fds[1].revents) {
            return;
        }
        FileDescriptor connection(
            accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!connection.valid()) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the waiting peer stays ready; give the others time.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        std::optional<uid_t> user = peerUser(connection.get());
        if (!user || *user != geteuid()) {
            // Once a minute at most: a peer that keeps knocking must not flood the log.
            ++refused_;
            double now = uptimeSeconds();
            if (now - lastRefusalLogged_ >= 60 || refused_ == 1) {
                lastRefusalLogged_ = now;
                DebugLog::write("query endpoint refused uid=" +
                                (user ? std::to_string(*user) : std::string("unknown")) +
                                " refusals=" + std::to_string(refused_));
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(connectionsLock_);
        if (active_ >= maximumConnections) {
            sendAll(connection.get(), QueryProtocol::encodeErrorReply("busy"),
                    Clock::now() + std::chrono::milliseconds(50));
            continue;
        }
        ++active_;
        std::thread([this, connection = std::move(connection)]() mutable {
            serve(std::move(connection));
            std::lock_guard<std::mutex> lock(connectionsLock_);
            --active_;
            connectionsDone_.notify_all();
        }).detach();
    }
}

void QueryEndpoint::serve(FileDescriptor connection) {
    int fd = connection.get();
    int wake = wakeRead_.get();
    auto begun = Clock::now();
    std::string bytes;
    std::string reply;
    if (!receiveAll(fd, bytes, QueryProtocol::maximumRequestBytes,
                    begun + std::chrono::milliseconds(requestMilliseconds),
                    begun + std::chrono::milliseconds(requestMilliseconds), wake)) {
        if (stopping_) {
            return;
        }
        reply = QueryProtocol::encodeErrorReply(
            bytes.size() > QueryProtocol::maximumRequestBytes
                ? "request too large"
                : "incomplete request (the request ends when the asker stops writing)");
    } else {
        std::string error;
        std::optional<QueryRequest> request = QueryProtocol::decodeRequest(bytes, error);
        if (!request) {
            reply = QueryProtocol::encodeErrorReply(error);
        } else if (request->indexPath != indexPath_) {
            reply = QueryProtocol::encodeErrorReply("this engine keeps " + indexPath_);
        } else {
            try {
                reply = QueryProtocol::encodeReply(answer_(*request));
            } catch (const std::exception& failure) {
                reply = QueryProtocol::encodeErrorReply(failure.what());
            }
        }
    }
    sendAll(fd, reply, Clock::now() + std::chrono::milliseconds(replyMilliseconds), wake);
}

QueryEndpoint::Answer QueryEndpoint::answering(NameSearch& names, UnwatchedCount unwatched) {
    return [&names, unwatched](const QueryRequest& request) {
        QueryAnswer answer;
        answer.indexComplete = names.index().hasCompletedFullScan();
        answer.unwatchedFolders = unwatched ? unwatched() : 0;
        if (request.mode == QueryRequest::Mode::watchState) {
            return answer;
        }
        if (request.mode == QueryRequest::Mode::largestFiles) {
            answer.response = names.index().largestFiles(request.limit, request.minimumSize,
                                                         request.rankedByDiskUsage);
        } else {
            answer.response =
                names.search(request.query, int(std::clamp<int64_t>(request.limit, 0, 1000)));
        }
        return answer;
    };
}

std::unique_ptr<QueryEndpoint> QueryEndpoint::start(const std::string& indexPath,
                                                    NameSearch& names, UnwatchedCount unwatched) {
    try {
        return std::make_unique<QueryEndpoint>(indexPath, answering(names, std::move(unwatched)));
    } catch (const std::exception& error) {
        DebugLog::write(std::string("query endpoint unavailable error=") + error.what());
        return nullptr;
    }
}

std::optional<QueryAnswer> askQueryEndpoint(const QueryRequest& request, std::string& why,
                                            int firstByteMilliseconds, std::string socketPath) {
    if (socketPath.empty()) {
        std::optional<std::string> path = queryEndpointPath(request.indexPath);
        if (!path) {
            why = "the socket's path would be too long";
            return std::nullopt;
        }
        socketPath = *path;
    }
    // A folder others may write could hold anyone's socket.
    if (!isPrivateFolder(socketPath.substr(0, socketPath.rfind('/')))) {
        why = "no private socket folder";
        return std::nullopt;
    }
    sockaddr_un address;
    fillAddress(address, socketPath);
    FileDescriptor connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection.valid() ||
        connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        why = socketPath + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<uid_t> server = peerUser(connection.get());
    if (!server || *server != geteuid()) {
        why = "the socket is not served by this user";
        return std::nullopt;
    }
    auto firstByte = Clock::now() + std::chrono::milliseconds(firstByteMilliseconds);
    // An engine that refuses the request ("busy") replies and closes without reading it: its
    // reply is read all the same.
    bool sent = sendAll(connection.get(), QueryProtocol::encodeRequest(request), firstByte);
    shutdown(connection.get(), SHUT_WR);
    std::string bytes;
    bool received = false;
    if (waitFor(connection.get(), POLLIN, firstByte)) {
        // An engine has its answer whole before it sends the first byte, and sends the rest in
        // a few milliseconds: a peer that trickles it out is not one to wait for.
        auto whole = Clock::now() + std::chrono::milliseconds(wholeReplyMilliseconds);
        received = receiveAll(connection.get(), bytes, maximumReplyBytes, whole, whole);
        if (!received && Clock::now() >= whole) {
            why = "no whole reply within " + std::to_string(wholeReplyMilliseconds) +
                  " ms of its first byte";
            return std::nullopt;
        }
    }
    if (!received && bytes.empty()) {
        why = !sent ? "the engine did not take the request"
                    : "no reply within " + std::to_string(firstByteMilliseconds) + " ms";
        return std::nullopt;
    }
    std::optional<QueryAnswer> answer = QueryProtocol::decodeReply(bytes, why);
    if (answer && !(sent && received)) {
        why = "the reply was cut short";
        return std::nullopt;
    }
    return answer;
}

} // namespace nexdir
