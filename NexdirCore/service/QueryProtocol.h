#pragma once

// What a command-line search asks the running engine, and its answer, as bytes on a local
// socket. Every field is a netstring ("<length>:<bytes>,"), so names and queries of any bytes
// travel unchanged and a reader knows where each field ends; a reply that stops early is
// told apart from a complete one by its final "end" field.

#include "SearchResult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nexdir {

struct QueryRequest {
    // watchState: only the answer's watch fields are wanted (`quelmo-cli coverage`).
    enum class Mode { search, largestFiles, watchState };
    // The index the asker would read: an engine keeping another index refuses.
    std::string indexPath;
    Mode mode = Mode::search;
    std::string query;             // search
    int64_t limit = 50;            // both
    int64_t minimumSize = 0;       // largest files
    bool rankedByDiskUsage = true; // largest files

    bool operator==(const QueryRequest&) const = default;
};

// An engine's answer: the response, and whether the index it searched holds a complete scan
// (while the first scan runs, it does not, and results may be missing).
struct QueryAnswer {
    SearchResponse response;
    bool indexComplete = true;
    // Folders the engine's watch limit leaves to be checked by polling.
    int64_t unwatchedFolders = 0;
};

namespace QueryProtocol {

// Requests larger than this are refused unread.
constexpr size_t maximumRequestBytes = 64 * 1024;

std::string encodeRequest(const QueryRequest& request);
// The request, or absent with `error` saying what is wrong with the bytes.
std::optional<QueryRequest> decodeRequest(std::string_view bytes, std::string& error);

std::string encodeReply(const QueryAnswer& answer);
std::string encodeErrorReply(const std::string& message);
// The answer; absent when the reply is an error (`error` holds its message) or is not a
// complete reply (`error` says so).
std::optional<QueryAnswer> decodeReply(std::string_view bytes, std::string& error);

} // namespace QueryProtocol

} // namespace nexdir
