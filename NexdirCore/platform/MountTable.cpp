#include "MountTable.h"

#include "NexdirError.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace nexdir {

namespace {

// Mount points escape space, tab, newline and backslash as three octal digits.
std::string unescaped(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i >= 4) {
            int value = 0;
            bool octal = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = field[i + k];
                octal = octal && c >= '0' && c <= '7';
                value = value * 8 + (c - '0');
            }
            if (octal) {
                out += char(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

} // namespace

std::vector<MountEntry> parseMountTable(const std::string& text) {
    std::vector<MountEntry> mounts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, options;
        if (!(fields >> id >> parent >> device >> root >> mountPoint >> options)) {
            continue;
        }
        std::string field;
        while (fields >> field && field != "-") {
            // optional fields such as "shared:1"
        }
        MountEntry entry;
        if (!(fields >> entry.fileSystemType >> entry.source)) {
            continue;
        }
        entry.mountPoint = unescaped(mountPoint);
        entry.root = unescaped(root);
        entry.source = unescaped(entry.source);
        if (!entry.mountPoint.starts_with('/') || !entry.root.starts_with('/') ||
            sscanf(device.c_str(), "%u:%u", &entry.major, &entry.minor) != 2) {
            continue;
        }
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::string mountTablePath() {
    const char* sample = std::getenv("NEXDIR_MOUNTINFO");
    return sample && *sample ? sample : kernelMountTable;
}

std::vector<MountEntry> readMountTable(const std::string& path) {
    std::ifstream stream(path);
    if (!stream && path != kernelMountTable) {
        int error = errno;
        throw FileSystemError(
            "Could not read the mount table " + path + ": " + std::strerror(error), error);
    }
    std::stringstream text;
    text << stream.rdbuf();
    return parseMountTable(text.str());
}

} // namespace nexdir
