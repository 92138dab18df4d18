// The running engine's answers to command-line searches: the same results as reading the
// index, and a server that bad peers cannot disturb.

#include "FileIndexer.h"
#include "NameSearch.h"
#include "QueryEndpoint.h"
#include "SearchIndex.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

using namespace nexdir;
using test::TempDirectory;

namespace {

// A connected socket to `path`, or -1.
int connectTo(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `bytes` (as much as the server takes), ends the request, and reads the reply.
std::string sendRequest(const std::string& path, const std::string& bytes) {
    int fd = connectTo(path);
    if (fd < 0) {
        return "no connection";
    }
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break; // the server stopped reading: its reply is still there
        }
        sent += size_t(n);
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, size_t(n));
    }
    close(fd);
    return reply;
}

// A listening socket that is not an engine: `behave` gets each connection.
class FakeServer {
public:
    FakeServer(const std::string& path, std::function<void(int)> behave) {
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        thread_ = std::thread([this, behave] {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                behave(fd);
                close(fd);
            }
        });
    }
    ~FakeServer() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }

private:
    int listener_ = -1;
    std::thread thread_;
};

class QueryEndpointTest : public ::testing::Test {
protected:
    TempDirectory folder;
    std::string root = folder / "tree";
    std::string database = folder / "data/index-v2.sqlite3";
    std::string socketPath = folder / "run/quelmo/test.sock";

    void SetUp() override {
        std::filesystem::create_directories(folder / "run");
        chmod((folder / "run").c_str(), 0700);
    }
    QueryRequest request(const std::string& query) const {
        QueryRequest asked;
        asked.indexPath = canonicalIndexPath(database);
        asked.query = query;
        return asked;
    }
};

} // namespace

TEST_F(QueryEndpointTest, AnswersAreThoseOfReadingTheIndexOverRandomTrees) {
    for (const char* path : {"docs/report.txt", "docs/old/notes.md", "music/a.mp3"}) {
        test::makeFile(root + "/" + path);
    }
    SearchIndex index(database);
    FileIndexer indexer(index, folder / "data", {}, 7, 2);
    NameSearch names(index); // as the engine runs: every name in memory
    QueryEndpoint endpoint(database, QueryEndpoint::answering(names), socketPath);
    std::mt19937 random(7);
    for (unsigned seed : {1u, 2u, 3u}) {
        test::TreeChanger(root, seed).change(60);
        indexer.scanAll(std::vector<std::string>{root}, 1, std::nullopt, {});
        // Queries from the names on disk: prefixes of one or two characters, parts of names,
        // several words, and words that match nothing.
        std::vector<std::string> queries = {"zz-nothing", "a", "e", "file dir", "-"};
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            std::string name = entry.path().filename().string();
            if (random() % 8 == 0) {
                queries.push_back(name.substr(0, 1 + random() % 2));
                queries.push_back(name.substr(random() % name.size()));
                queries.push_back(entry.path().parent_path().filename().string() + " " + name);
            }
        }
        SearchIndex reading(database, SearchIndex::Access::readOnly);
        NameSearch direct(reading);
        direct.setNameCatalogueEnabled(false);
        for (const std::string& query : queries) {
            std::string why;
            std::optional<QueryAnswer> asked =
                askQueryEndpoint(request(query), why, 2000, socketPath);
            ASSERT_TRUE(asked) << query << ": " << why;
            EXPECT_EQ(asked->response.results, direct.search(query, 50).results) << query;
        }
        for (bool byDisk : {true, false}) {
            QueryRequest largest = request("");
            largest.mode = QueryRequest::Mode::largestFiles;
            largest.rankedByDiskUsage = byDisk;
            std::string why;
            std::optional<QueryAnswer> asked = askQueryEndpoint(largest, why, 2000, socketPath);
            ASSERT_TRUE(asked) << why;
            EXPECT_TRUE(asked->indexComplete);
            EXPECT_EQ(asked->response.results, reading.largestFiles(50, 0, byDisk).results);
        }
    }
    EXPECT_EQ(names.catalogueDiscards(), 0);
}

TEST_F(QueryEndpointTest, BadPeersGetAnErrorAndTheServerKeepsServing) {
    SearchIndex index(database);
    test::TreeBuilder tree(index, "/");
    tree.file(tree.root(), "report.txt");
    NameSearch names(index);
    QueryEndpoint endpoint(database, QueryEndpoint::answering(names), socketPath);
    // Within a second: a request's thread ends as soon as its peer is gone.
    auto answers = [&] {
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::string why;
            std::optional<QueryAnswer> asked =
                askQueryEndpoint(request("report"), why, 2000, socketPath);
            if (asked) {
                // An index with no complete scan says so.
                return asked->response.results.size() == 1 && !asked->indexComplete;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    struct stat info {};
    ASSERT_EQ(stat((folder / "run/quelmo").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    std::string garbage(5000, '\0');
    std::mt19937 random(3);
    for (char& c : garbage) {
        c = char(random());
    }
    for (const std::string& bad :
         {garbage, std::string("5:hello,"), std::string(), std::string(100 * 1024 * 1024, 'x')}) {
        std::string reply = sendRequest(socketPath, bad);
        EXPECT_TRUE(reply.starts_with("14:quelmo-reply 1,5:error,")) << reply.substr(0, 80);
        EXPECT_TRUE(answers());
    }
    // Another index's asker is told so, and reads its own index.
    QueryRequest other = request("report");
    other.indexPath = folder / "other.sqlite3";
    std::string why;
    EXPECT_FALSE(askQueryEndpoint(other, why, 2000, socketPath));
    EXPECT_EQ(why, "this engine keeps " + canonicalIndexPath(database));

    // Silent peers hold no one up: they time out on their own threads; past the limit of
    // requests in hand the engine says it is busy, and the asker reads the index itself.
    std::vector<int> silent;
    for (int i = 0; i < QueryEndpoint::maximumConnections - 1; ++i) {
        silent.push_back(connectTo(socketPath));
    }
    EXPECT_TRUE(answers());
    // (once the answer's own thread has ended)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    silent.push_back(connectTo(socketPath));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(askQueryEndpoint(request("report"), why, 2000, socketPath));
    EXPECT_EQ(why, "busy");

    if (geteuid() == 0) {
        // Another user, let through the folder, is refused without a reply.
        chmod(folder.path().c_str(), 0711);
        chmod((folder / "run").c_str(), 0711);
        chmod((folder / "run/quelmo").c_str(), 0711);
        struct stat socketInfo {};
        stat(socketPath.c_str(), &socketInfo);
        EXPECT_EQ(socketInfo.st_mode & 0777, 0600u);
        chmod(socketPath.c_str(), 0777);
        QueryRequest asked = request("report");
        std::string reply = test::runUnprivileged([&] {
            return "[" + sendRequest(socketPath, QueryProtocol::encodeRequest(asked)) + "]";
        });
        EXPECT_EQ(reply, "[]");
        chmod((folder / "run/quelmo").c_str(), 0700);
        // And an asker does not trust a folder others may enter.
        chmod((folder / "run/quelmo").c_str(), 0711);
        EXPECT_FALSE(askQueryEndpoint(request("report"), why, 2000, socketPath));
        chmod((folder / "run/quelmo").c_str(), 0700);
    }
    for (int fd : silent) {
        close(fd);
    }
    EXPECT_TRUE(answers());
}

TEST_F(QueryEndpointTest, AskersFallBackFromServersThatDoNotAnswer) {
    std::filesystem::create_directories(folder / "run/quelmo");
    chmod((folder / "run/quelmo").c_str(), 0700);
    std::string why;
    // Nothing there, then a socket file nobody listens on (an engine that was killed).
    EXPECT_FALSE(askQueryEndpoint(request("x"), why, 200, socketPath));
    {
        FakeServer gone(socketPath, [](int) {});
    }
    EXPECT_FALSE(askQueryEndpoint(request("x"), why, 200, socketPath));
    unlink(socketPath.c_str());
    {
        // One that stops in the middle of its reply.
        QueryAnswer answer;
        answer.response.results.resize(3);
        std::string reply = QueryProtocol::encodeReply(answer);
        FakeServer cut(socketPath, [&](int fd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            send(fd, reply.data(), reply.size() - 10, MSG_NOSIGNAL);
        });
        EXPECT_FALSE(askQueryEndpoint(request("x"), why, 200, socketPath));
        EXPECT_TRUE(why.starts_with("the reply was cut short")) << why;
    }
    unlink(socketPath.c_str());
    {
        // One that trickles a whole reply out, a piece every 0.3 s for 10 s: the asker stops
        // reading it, and the peer's next piece finds it gone.
        QueryAnswer answer;
        answer.response.results.resize(330);
        std::string reply = QueryProtocol::encodeReply(answer);
        constexpr int pieces = 33;
        std::atomic<int> sent{0};
        {
            FakeServer trickle(socketPath, [&](int fd) {
                size_t size = reply.size() / pieces;
                for (int i = 0; i < pieces; ++i) {
                    std::string piece = reply.substr(i * size, i + 1 < pieces ? size : reply.npos);
                    if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) {
                        return;
                    }
                    ++sent;
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
            });
            EXPECT_FALSE(askQueryEndpoint(request("x"), why, 2000, socketPath));
            EXPECT_EQ(why, "no whole reply within 1000 ms of its first byte");
        }
        EXPECT_LT(sent.load(), pieces) << "the whole reply was read";
    }
    unlink(socketPath.c_str());
    {
        // One too busy to answer: the asker gives up after its first-byte wait.
        FakeServer busy(socketPath, [](int fd) {
            char byte;
            recv(fd, &byte, 1, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
        });
        auto began = std::chrono::steady_clock::now();
        EXPECT_FALSE(askQueryEndpoint(request("x"), why, 200, socketPath));
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(700));
        EXPECT_EQ(why, "no reply within 200 ms");
    }
}
