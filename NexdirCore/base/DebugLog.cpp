#include "DebugLog.h"

#include "Clock.h"
#include "DataDirectory.h"
#include "FileDescriptor.h"
#include "Format.h"
#include "PrivateFiles.h"
#include "SessionID.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace nexdir::DebugLog {

namespace {

std::mutex& logLock() {
    static std::mutex lock;
    return lock;
}

std::string timestamp() {
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void appendLine(std::string_view message) {
    std::string path = url();
    createPrivateFolders(std::filesystem::path(path).parent_path().string());

    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && info.st_size > rotationThresholdBytes) {
        std::string previous = previousURL(path);
        if (rename(path.c_str(), previous.c_str()) != 0) {
            fail("Could not rotate", path);
        }
    }

    std::string line = timestamp();
    line += " pid=";
    line += std::to_string(getpid());
    line += ' ';
    for (char c : message) {
        line += c == '\n' ? ' ' : c;
    }
    line += " session=";
    line += processSessionID();
    line += " uptime=";
    line += shortestDecimal(uptimeSeconds());
    line += '\n';

    // Owner only: the lines name the user's files. Its rotation keeps the mode.
    FileDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (!file.valid()) {
        fail("Could not open", path);
    }
    if (!writeFully(file.get(), line.data(), line.size())) {
        fail("Could not write", path);
    }
}

} // namespace

std::string url() {
    if (const char* override = std::getenv("NEXDIR_DEBUG_LOG_PATH");
        override != nullptr && *override != '\0') {
        return override;
    }
    return applicationDataDirectory() + "/debug.log";
}

std::string previousURL() {
    return previousURL(url());
}

std::string previousURL(const std::string& log) {
    return log + ".previous";
}

void write(std::string_view message) {
    std::lock_guard guard(logLock());
    try {
        appendLine(message);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Nexdir debug log: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "Nexdir debug log: unknown error\n");
    }
}

} // namespace nexdir::DebugLog
