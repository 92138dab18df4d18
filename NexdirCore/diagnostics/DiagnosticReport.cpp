#include "DiagnosticReport.h"

#include "DebugLog.h"
#include "FileDescriptor.h"
#include "Sha256.h"
#include "UUID.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>

namespace nexdir {

namespace {

// The events a report keeps, tested in this order: the first that fits names the line.
constexpr std::array<std::string_view, 49> phrases = {
    "trash open requested",
    "trash open completed",
    "slow operation",
    "reindex trigger",
    "recovery state",
    "trash measurement begin",
    "trash measurement complete",
    "update install starting",
    "update relaunch starting",
    "update install deferred",
    "update install resumed",
    "update check requested",
    "session begin",
    "session end",
    "startup failed",
    "system sleep",
    "system wake",
    "volume notification",
    "scan requested",
    "scan operation begin",
    "scan begin",
    "scan installed",
    "scan failed",
    "recovery scheduled",
    "explicit rescan queued",
    "region verification failed",
    "region verification interrupted",
    "region retry scheduling failed",
    "targeted access recovery",
    "region verification begin",
    "region verification complete",
    "region paused",
    "region retry scheduled",
    "region apply step",
    "region batch queued",
    "region apply",
    "recovery progress",
    "drop received",
    "callback",
    "stream created",
    "event activity",
    "event inbox overflow",
    "history replay complete",
    "covered historical drop ignored",
    "event requires scan",
    "verification begin",
    "verification completed",
    "reconcile failed",
    "verification establishes new event history baseline"};

// The fields a report keeps, and only with a number or true/false as value.
constexpr std::array<std::string_view, 53> fields = {"phase",
                                                     "elapsedMs",
                                                     "sqliteResult",
                                                     "transitions",
                                                     "budgetReset",
                                                     "delivered",
                                                     "drops",
                                                     "forced",
                                                     "bytes",
                                                     "readable",
                                                     "complete",
                                                     "launches",
                                                     "uncleanExits",
                                                     "previousUnclean",
                                                     "uptime",
                                                     "seconds",
                                                     "errorCode",
                                                     "retryable",
                                                     "manual",
                                                     "items",
                                                     "errors",
                                                     "cause",
                                                     "alreadyRunning",
                                                     "rootsChanged",
                                                     "repaired",
                                                     "remaining",
                                                     "pid",
                                                     "flags",
                                                     "id",
                                                     "current",
                                                     "baseline",
                                                     "checkpoint",
                                                     "scanBaseline",
                                                     "events",
                                                     "batches",
                                                     "maxMs",
                                                     "maxApplyMs",
                                                     "maxWaitMs",
                                                     "oldestSeconds",
                                                     "applyMs",
                                                     "pending",
                                                     "directories",
                                                     "checks",
                                                     "ready",
                                                     "verifying",
                                                     "paused",
                                                     "total",
                                                     "limit",
                                                     "fileEvents",
                                                     "overlap",
                                                     "since",
                                                     "windowSeconds",
                                                     "at"};

// Kept whole when their value is a UUID: they tie lines of one process or stream together.
constexpr std::array<std::string_view, 3> identifierKeys = {"session", "operation", "stream"};

// Their messages carry an error's own text, which never goes into a report.
constexpr std::array<std::string_view, 2> phrasesWithErrorDetails = {"region paused",
                                                                     "reconcile failed"};

constexpr std::string_view timestampShape = "dddd-dd-ddTdd:dd:ddZ";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// What separates fields: ASCII white space. The log itself writes single spaces; anything
// else comes from a path or an error text, which are not kept whatever their bytes.
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool endsField(std::string_view text, size_t at) {
    return at == text.size() || isSpace(text[at]);
}

// The length of the debug log's prefix, "<timestamp> pid=<digits> ", at the start of `line`;
// 0 when the line does not start with one.
size_t prefixLength(std::string_view line) {
    constexpr std::string_view pid = " pid=";
    size_t end = timestampShape.size() + pid.size();
    if (line.size() <= end) {
        return 0;
    }
    for (size_t i = 0; i < timestampShape.size(); ++i) {
        bool fits = timestampShape[i] == 'd' ? isDigit(line[i]) : line[i] == timestampShape[i];
        if (!fits) {
            return 0;
        }
    }
    if (line.substr(timestampShape.size(), pid.size()) != pid || !isDigit(line[end])) {
        return 0;
    }
    while (end < line.size() && isDigit(line[end])) {
        ++end;
    }
    return end < line.size() && line[end] == ' ' ? end + 1 : 0;
}

size_t digitsAt(std::string_view text, size_t at) {
    size_t end = at;
    while (end < text.size() && isDigit(text[end])) {
        ++end;
    }
    return end - at;
}

// The length of a kept value at the start of `text`: a decimal number (-12, 0.25, 1e-05) or
// true or false; 0 when there is none. The longest form is taken: a shorter one would end
// before a digit, a dot or an "e", never at the end of a field.
size_t valueLength(std::string_view text) {
    for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
        if (text.starts_with(word)) {
            return word.size();
        }
    }
    size_t end = text.starts_with('-') ? 1 : 0;
    size_t digits = digitsAt(text, end);
    if (digits == 0) {
        return 0;
    }
    end += digits;
    if (end < text.size() && text[end] == '.' && digitsAt(text, end + 1) > 0) {
        end += 1 + digitsAt(text, end + 1);
    }
    if (end < text.size() && text[end] == 'e') {
        size_t sign = end + 1 < text.size() && (text[end + 1] == '+' || text[end + 1] == '-');
        if (size_t exponent = digitsAt(text, end + 1 + sign); exponent > 0) {
            end += 1 + sign + exponent;
        }
    }
    return end;
}

template <size_t N>
bool listed(const std::array<std::string_view, N>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

// Every "key=value" that starts the message or follows white space, whose key is listed and
// whose value is a number or true/false, in message order.
void appendFields(std::string_view message, std::vector<std::string_view>& parts) {
    for (size_t start = 0; start < message.size(); ++start) {
        if (start > 0 && !isSpace(message[start - 1])) {
            continue;
        }
        size_t equals = start;
        while (equals < message.size() && isLetter(message[equals])) {
            ++equals;
        }
        if (equals == start || equals == message.size() || message[equals] != '=') {
            continue;
        }
        size_t length = valueLength(message.substr(equals + 1));
        size_t end = equals + 1 + length;
        if (length > 0 && endsField(message, end) &&
            listed(fields, message.substr(start, equals - start))) {
            parts.push_back(message.substr(start, end - start));
        }
    }
}

// The path of the message's first "path=": what follows it up to the white space before the
// next field ("key=", the key made of letters and hyphens). Nothing when no field follows,
// as then the path's end cannot be told from the rest of the line.
std::optional<std::string_view> pathOf(std::string_view message) {
    size_t found = message.find("path=");
    if (found == std::string_view::npos) {
        return std::nullopt;
    }
    size_t start = found + 5;
    for (size_t space = start; space < message.size(); ++space) {
        if (!isSpace(message[space])) {
            continue;
        }
        size_t key = space + 1;
        while (key < message.size() && (isLetter(message[key]) || message[key] == '-')) {
            ++key;
        }
        if (key > space + 1 && key < message.size() && message[key] == '=') {
            return message.substr(start, space - start);
        }
    }
    return std::nullopt;
}

std::string regionIdentifier(std::string_view salt, std::string_view path) {
    std::string salted;
    salted.reserve(salt.size() + path.size());
    salted.append(salt).append(path);
    std::array<uint8_t, 32> digest = sha256(salted);
    static constexpr char hex[] = "0123456789abcdef";
    std::string identifier;
    for (int i = 0; i < 8; ++i) {
        identifier += hex[digest[i] >> 4];
        identifier += hex[digest[i] & 0xF];
    }
    return identifier;
}

// The first "key=<UUID>" in the message whose UUID ends a field.
std::optional<std::string_view> identifierOf(std::string_view message, std::string_view key) {
    constexpr size_t uuidLength = 36;
    for (size_t found = message.find(key); found != std::string_view::npos;
         found = message.find(key, found + 1)) {
        size_t value = found + key.size() + 1;
        if (value + uuidLength > message.size() || message[value - 1] != '=' ||
            !endsField(message, value + uuidLength) ||
            !isUUIDString(std::string(message.substr(value, uuidLength)))) {
            continue;
        }
        return message.substr(found, key.size() + 1 + uuidLength);
    }
    return std::nullopt;
}

// At most the last `tailBytes` of the file, from its first whole line on; nothing when it
// cannot be read. Only a regular file is read: a fifo or a device named as a log would block
// or never end.
std::string readTail(const std::string& path) {
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    off_t start = std::max<off_t>(0, info.st_size - off_t(DiagnosticReport::tailBytes));
    std::string contents(size_t(info.st_size - start), '\0');
    size_t filled = 0;
    while (filled < contents.size()) {
        ssize_t got = pread(file.get(), contents.data() + filled, contents.size() - filled,
                            start + off_t(filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return {};
        }
        if (got == 0) {
            break;
        }
        filled += size_t(got);
    }
    contents.resize(filled);
    if (start > 0) {
        // The first line was cut by where the tail begins.
        size_t lineEnd = contents.find('\n');
        contents.erase(0, lineEnd == std::string::npos ? contents.size() : lineEnd + 1);
    }
    return contents;
}

std::string checkedVersion(const std::string& value) {
    bool valid =
        !value.empty() && value.size() <= 40 && std::all_of(value.begin(), value.end(), [](char c) {
            return isDigit(c) || isLetter(c) || c == '.' || c == '-';
        });
    return valid ? value : "unknown";
}

// The running kernel's release as major.minor.patch ("6.1.0" of "6.1.0-18-amd64"): what a
// report can say of the system without naming the machine.
std::string linuxVersion() {
    utsname system{};
    if (uname(&system) != 0) {
        return "unknown";
    }
    std::string_view release(system.release);
    std::string version;
    for (int part = 0; part < 3; ++part) {
        size_t digits = digitsAt(release, 0);
        if (part > 0) {
            version += '.';
        }
        version += digits > 0 ? std::string(release.substr(0, digits)) : "0";
        release.remove_prefix(digits);
        if (digits == 0 || !release.starts_with('.')) {
            release = {};
        } else {
            release.remove_prefix(1);
        }
    }
    return version == "0.0.0" ? "unknown" : version;
}

std::string newReportID() {
    std::string id;
    for (char c : makeUUIDString()) {
        if (c != '-') {
            id += char(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return id;
}

} // namespace

std::optional<std::string> DiagnosticReport::sanitize(std::string_view line,
                                                      std::string_view salt) {
    size_t prefix = prefixLength(line);
    if (prefix == 0) {
        return std::nullopt;
    }
    std::string_view message = line.substr(prefix);
    auto phrase = std::find_if(phrases.begin(), phrases.end(), [&](std::string_view phrase) {
        return message.starts_with(phrase) &&
               (message.size() == phrase.size() || message[phrase.size()] == ' ');
    });
    if (phrase == phrases.end()) {
        return std::nullopt;
    }

    std::vector<std::string_view> parts = {line.substr(0, timestampShape.size()), *phrase};
    appendFields(message, parts);
    std::string region;
    if (auto path = pathOf(message)) {
        region = "region=" + regionIdentifier(salt, *path);
        parts.push_back(region);
    }
    for (std::string_view key : identifierKeys) {
        if (auto identifier = identifierOf(message, key)) {
            parts.push_back(*identifier);
        }
    }
    if (listed(phrasesWithErrorDetails, *phrase)) {
        parts.push_back("errorDetails=omitted");
    }

    std::string sanitized;
    for (std::string_view part : parts) {
        if (!sanitized.empty()) {
            sanitized += ' ';
        }
        sanitized += part;
    }
    return sanitized;
}

std::vector<std::string> DiagnosticReport::generationsOf(const std::string& log) {
    return {DebugLog::previousURL(log), log};
}

DiagnosticReport DiagnosticReport::build(const std::vector<std::string>& logs,
                                         const ReportInfo& info) {
    std::string salt = makeUUIDString();
    std::deque<std::string> kept;
    int64_t excluded = 0;
    for (const std::string& log : logs) {
        std::string contents = readTail(log);
        std::string_view rest(contents);
        while (!rest.empty()) {
            size_t end = std::min(rest.find('\n'), rest.size());
            std::string_view line = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
            if (line.empty()) {
                continue;
            }
            if (auto sanitized = sanitize(line, salt)) {
                kept.push_back(std::move(*sanitized));
                if (kept.size() > maximumLines) {
                    kept.pop_front();
                }
            } else {
                ++excluded;
            }
        }
    }

    DiagnosticReport report;
    report.id = newReportID();
    // The design's system line names its own platform; here the kernel's release stands in.
    report.text =
        "Quelmo diagnostics v1\nApp: " + checkedVersion(info.version) + " (" +
        checkedVersion(info.buildNumber) + ")\nLinux: " + linuxVersion() +
        "\nExcluded/unreadable lines: " + std::to_string(excluded) +
        "\nLifecycle counters since instrumentation: launches=" + std::to_string(info.launches) +
        " uncleanExits=" + std::to_string(info.uncleanExits) +
        "\nUnclean exits are not proof of a crash. Durations use system uptime. This "
        "is a bounded recent log excerpt, not a complete history.\nRegion identifiers "
        "are randomized per report. Raw paths and error messages are omitted.\n\n";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) {
            report.text += '\n';
        }
        report.text += kept[i];
    }
    return report;
}

} // namespace nexdir
