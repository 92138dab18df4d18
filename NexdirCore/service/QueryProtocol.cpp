#include "QueryProtocol.h"

#include "Format.h"

#include <charconv>
#include <vector>

namespace nexdir::QueryProtocol {

namespace {

constexpr std::string_view requestMagic = "quelmo-query 1";
constexpr std::string_view replyMagic = "quelmo-reply 1";

void put(std::string& out, std::string_view field) {
    out += std::to_string(field.size());
    out += ':';
    out += field;
    out += ',';
}

void put(std::string& out, int64_t value) {
    put(out, std::to_string(value));
}

void put(std::string& out, double value) {
    // The shortest form that reads back as the same double.
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    put(out, std::string_view(buffer, size_t(end - buffer)));
}

// Reads fields front to back; any malformation stops it for good.
class Fields {
public:
    explicit Fields(std::string_view bytes) : rest_(bytes) {}

    std::optional<std::string_view> next() {
        if (failed_) {
            return std::nullopt;
        }
        size_t length = 0;
        auto [end, error] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), length);
        size_t digits = size_t(end - rest_.data());
        if (error != std::errc() || digits == 0 || digits > 10 || digits >= rest_.size() ||
            *end != ':' || rest_.size() - digits - 1 < length + 1 ||
            rest_[digits + 1 + length] != ',') {
            failed_ = true;
            return std::nullopt;
        }
        std::string_view field = rest_.substr(digits + 1, length);
        rest_.remove_prefix(digits + 1 + length + 1);
        return field;
    }
    std::optional<int64_t> integer() { return number<int64_t>(); }
    std::optional<double> real() { return number<double>(); }
    bool atEnd() const { return !failed_ && rest_.empty(); }
    bool failed() const { return failed_; }

private:
    template <class Number> std::optional<Number> number() {
        auto field = next();
        std::optional<Number> value = field ? parseNumber<Number>(*field) : std::nullopt;
        failed_ = failed_ || !value;
        return value;
    }

    std::string_view rest_;
    bool failed_ = false;
};

} // namespace

std::string encodeRequest(const QueryRequest& request) {
    std::string out;
    put(out, requestMagic);
    put(out, request.indexPath);
    put(out, request.mode == QueryRequest::Mode::search         ? "search"
             : request.mode == QueryRequest::Mode::largestFiles ? "largest"
                                                                : "watches");
    put(out, request.query);
    put(out, request.limit);
    put(out, request.minimumSize);
    put(out, request.rankedByDiskUsage ? "disk" : "size");
    put(out, "end");
    return out;
}

std::optional<QueryRequest> decodeRequest(std::string_view bytes, std::string& error) {
    Fields fields(bytes);
    QueryRequest request;
    if (fields.next() != requestMagic) {
        error = "not a query request";
        return std::nullopt;
    }
    auto path = fields.next();
    auto mode = fields.next();
    auto query = fields.next();
    auto limit = fields.integer();
    auto minimumSize = fields.integer();
    auto ranking = fields.next();
    auto end = fields.next();
    if (fields.failed() || end != "end" || !fields.atEnd() ||
        (mode != "search" && mode != "largest" && mode != "watches") || (ranking != "disk" && ranking != "size")) {
        error = "malformed query request";
        return std::nullopt;
    }
    request.indexPath = *path;
    request.mode = *mode == "search"    ? QueryRequest::Mode::search
                   : *mode == "largest" ? QueryRequest::Mode::largestFiles
                                        : QueryRequest::Mode::watchState;
    request.query = *query;
    request.limit = *limit;
    request.minimumSize = *minimumSize;
    request.rankedByDiskUsage = *ranking == "disk";
    return request;
}

std::string encodeReply(const QueryAnswer& answer) {
    const SearchResponse& response = answer.response;
    std::string out;
    put(out, replyMagic);
    put(out, "ok");
    put(out, answer.indexComplete ? "complete" : "partial");
    put(out, answer.unwatchedFolders);
    put(out, response.durationMilliseconds);
    put(out, int64_t(response.results.size()));
    for (const SearchResult& result : response.results) {
        put(out, result.id);
        put(out, result.name);
        put(out, result.path);
        put(out, result.isDirectory ? "d" : "f");
        put(out, result.modifiedAt);
        put(out, result.size);
        put(out, int64_t(result.score));
        put(out, result.allocatedSize ? std::to_string(*result.allocatedSize) : "-");
        put(out, result.isDataless ? "1" : "0");
    }
    put(out, "end");
    return out;
}

std::string encodeErrorReply(const std::string& message) {
    std::string out;
    put(out, replyMagic);
    put(out, "error");
    put(out, message);
    put(out, "end");
    return out;
}

std::optional<QueryAnswer> decodeReply(std::string_view bytes, std::string& error) {
    Fields fields(bytes);
    auto incomplete = [&] {
        error = "the reply was cut short or malformed";
        return std::nullopt;
    };
    if (fields.next() != replyMagic) {
        return incomplete();
    }
    auto status = fields.next();
    if (status == "error") {
        auto message = fields.next();
        if (!message || fields.next() != "end" || !fields.atEnd()) {
            return incomplete();
        }
        error = std::string(*message);
        return std::nullopt;
    }
    QueryAnswer answer;
    SearchResponse& response = answer.response;
    auto completeness = fields.next();
    int64_t unwatched = fields.integer().value_or(-1);
    auto duration = fields.real();
    auto count = fields.integer();
    if (status != "ok" || (completeness != "complete" && completeness != "partial") ||
        unwatched < 0 || !duration || !count || *count < 0) {
        return incomplete();
    }
    answer.indexComplete = completeness == "complete";
    answer.unwatchedFolders = unwatched;
    response.durationMilliseconds = *duration;
    for (int64_t i = 0; i < *count; ++i) {
        SearchResult result;
        auto id = fields.integer();
        auto name = fields.next();
        auto path = fields.next();
        auto kind = fields.next();
        auto modified = fields.real();
        auto size = fields.integer();
        auto score = fields.integer();
        auto allocated = fields.next();
        auto dataless = fields.next();
        std::optional<int64_t> allocatedSize =
            allocated && *allocated != "-" ? parseNumber<int64_t>(*allocated) : std::nullopt;
        if (fields.failed() || (allocated != "-" && !allocatedSize)) {
            return incomplete();
        }
        result.id = *id;
        result.name = *name;
        result.path = *path;
        result.isDirectory = *kind == "d";
        result.modifiedAt = *modified;
        result.size = *size;
        result.score = int(*score);
        result.allocatedSize = allocatedSize;
        result.isDataless = *dataless == "1";
        response.results.push_back(std::move(result));
    }
    if (fields.next() != "end" || !fields.atEnd()) {
        return incomplete();
    }
    return answer;
}

} // namespace nexdir::QueryProtocol
