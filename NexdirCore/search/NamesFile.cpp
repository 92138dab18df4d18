#include "NamesFile.h"

#include "FileDescriptor.h"
#include "NameCatalogue.h"
#include "NexdirError.h"
#include "PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

namespace nexdir::detail {

namespace {

constexpr char magic[8] = {'Q', 'L', 'M', 'N', 'A', 'M', 'E', 'S'};
// Raised whenever the catalogue's arrays change meaning: an older file is then ignored.
constexpr uint32_t formatVersion = 1;
// Written as this machine orders bytes; read back on another order, it differs.
constexpr uint32_t byteOrderMark = 0x01020304;
// What a save leaves free on the index's disk for the index itself.
constexpr uint64_t spareDiskBytes = uint64_t(256) << 20;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t byteOrder;
    char stamp[48]; // NUL-padded
    uint64_t slots;
    uint64_t arenaBytes;
    uint64_t largeSizes;
    uint64_t oddSeconds;
    uint64_t checksum; // of the header with this field 0, then of every section in order
};
static_assert(std::is_trivially_copyable_v<Header> && sizeof(Header) == 104);

uint64_t rotateLeft(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

// A 64-bit checksum of `size` bytes, chained from `seed`: four independent lanes of
// multiply-rotate rounds, eight bytes at a time, so that checking a few hundred megabytes
// costs little beside reading them.
uint64_t checksum(const void* data, size_t size, uint64_t seed) {
    constexpr uint64_t prime1 = 0x9E3779B185EBCA87ull;
    constexpr uint64_t prime2 = 0xC2B2AE3D27D4EB4Full;
    auto bytes = static_cast<const unsigned char*>(data);
    uint64_t lanes[4] = {seed + prime1 + prime2, seed + prime2, seed, seed - prime1};
    size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, bytes + at + 8 * lane, 8);
            lanes[lane] = rotateLeft(lanes[lane] + word * prime2, 31) * prime1;
        }
    }
    uint64_t hash = seed ^ (uint64_t(size) * prime1);
    for (uint64_t lane : lanes) {
        hash = rotateLeft(hash ^ (rotateLeft(lane, 27) * prime2), 29) * prime1;
    }
    for (; at < size; ++at) {
        hash = rotateLeft(hash ^ (bytes[at] * prime2), 11) * prime1;
    }
    hash ^= hash >> 33;
    hash *= prime2;
    hash ^= hash >> 29;
    return hash;
}

void writeAll(int fd, const void* data, size_t size, const std::string& path) {
    if (!writeFully(fd, data, size)) {
        int error = errno;
        throw FileSystemError("Could not write " + path + ": " + std::strerror(error), error);
    }
}

// False at a read error or at the end of the file before `size` bytes.
bool readAll(int fd, void* data, size_t size) {
    auto bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= size_t(got);
    }
    return true;
}

} // namespace

template <typename Catalogue, typename Visit>
void NamesFile::eachSection(Catalogue& catalogue, Aside& aside, Visit visit) {
    Catalogue::eachSlotVector(catalogue, [&](auto& values) { visit(values); });
    visit(catalogue.tripleCounts_);
    visit(aside.largeIDs);
    visit(aside.largeValues);
    visit(aside.oddIDs);
    visit(aside.oddValues);
    visit(catalogue.arena_);
}

void NamesFile::save(const std::string& path, const NameCatalogue& catalogue,
                     const std::string& stamp) {
    Header header{};
    std::memcpy(header.magic, magic, sizeof magic);
    header.version = formatVersion;
    header.byteOrder = byteOrderMark;
    if (stamp.size() >= sizeof header.stamp) {
        throw FileSystemError("Could not write " + path + ": the stamp is too long", EINVAL);
    }
    std::memcpy(header.stamp, stamp.data(), stamp.size());
    header.slots = catalogue.flags_.size();
    header.arenaBytes = catalogue.arena_.size();

    Aside aside;
    for (const auto& [id, size] : catalogue.largeSizes_) {
        aside.largeIDs.push_back(id);
        aside.largeValues.push_back(size);
    }
    for (const auto& [id, second] : catalogue.oddSeconds_) {
        aside.oddIDs.push_back(id);
        aside.oddValues.push_back(second);
    }
    header.largeSizes = aside.largeIDs.size();
    header.oddSeconds = aside.oddIDs.size();

    // Written whole under another name and renamed over the old file only once synced.
    std::string partial = path + ".partial";
    ::unlink(partial.c_str());
    createPrivateFile(partial);
    FileDescriptor fd(::open(partial.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) {
        int error = errno;
        throw FileSystemError("Could not write " + partial + ": " + std::strerror(error), error);
    }
    try {
        // The index's own writes must not be the ones to meet a full disk.
        uint64_t fileBytes = sizeof header;
        eachSection(catalogue, aside, [&](const auto& values) {
            fileBytes += values.size() * sizeof(values[0]);
        });
        struct statvfs space {};
        if (::fstatvfs(fd.get(), &space) == 0 &&
            uint64_t(space.f_bavail) * space.f_frsize < fileBytes + spareDiskBytes) {
            throw FileSystemError("Could not write " + partial + ": " +
                                      std::strerror(ENOSPC) + " (" + std::to_string(fileBytes) +
                                      " bytes, leaving " + std::to_string(spareDiskBytes) +
                                      " free)",
                                  ENOSPC);
        }
        writeAll(fd.get(), &header, sizeof header, partial);
        uint64_t sum = checksum(&header, sizeof header, 0);
        eachSection(catalogue, aside, [&](const auto& values) {
            size_t bytes = values.size() * sizeof(values[0]);
            writeAll(fd.get(), values.data(), bytes, partial);
            sum = checksum(values.data(), bytes, sum);
        });
        header.checksum = sum;
        if (::pwrite(fd.get(), &header, sizeof header, 0) != ssize_t(sizeof header) ||
            ::fsync(fd.get()) != 0) {
            int error = errno;
            throw FileSystemError("Could not write " + partial + ": " + std::strerror(error),
                                  error);
        }
        if (::rename(partial.c_str(), path.c_str()) != 0) {
            int error = errno;
            throw FileSystemError("Could not rename " + partial + ": " + std::strerror(error),
                                  error);
        }
    } catch (...) {
        ::unlink(partial.c_str());
        throw;
    }
}

NamesFile::Loaded NamesFile::load(const std::string& path, const std::string& stamp) {
    Loaded loaded;
    auto ignored = [&](std::string reason) {
        loaded.ignoredBecause = std::move(reason);
        return std::move(loaded);
    };
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid()) {
        return ignored(errno == ENOENT ? "missing" : std::string("unreadable: ") +
                                                         std::strerror(errno));
    }
    Header header{};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return ignored("not a regular file");
    }
    if (!readAll(fd.get(), &header, sizeof header)) {
        return ignored("damaged: shorter than its header");
    }
    if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.version != formatVersion ||
        header.byteOrder != byteOrderMark) {
        return ignored("damaged or of another format: its header does not match");
    }
    if (std::string(header.stamp, strnlen(header.stamp, sizeof header.stamp)) != stamp) {
        return ignored("stale: the index changed since it was saved");
    }
    // Bounds before any allocation: a damaged count must not ask for terabytes.
    if (header.slots > uint64_t(UINT32_MAX) || header.arenaBytes > uint64_t(UINT32_MAX) ||
        header.largeSizes > header.slots || header.oddSeconds > header.slots) {
        return ignored("damaged: its counts are out of bounds");
    }
    uint64_t slotBytes = sizeof(uint8_t) * 4 + sizeof(uint64_t) + sizeof(uint32_t) * 4;
    uint64_t expected = sizeof header + header.slots * slotBytes +
                        NameCatalogue::tripleBuckets * sizeof(uint32_t) +
                        header.largeSizes * (sizeof(uint32_t) + sizeof(int64_t)) +
                        header.oddSeconds * (sizeof(uint32_t) + sizeof(double)) + header.arenaBytes;
    if (uint64_t(info.st_size) != expected) {
        return ignored("damaged: " + std::to_string(info.st_size) + " bytes where its counts make " +
                       std::to_string(expected));
    }

    auto catalogue = std::make_unique<NameCatalogue>();
    Aside aside;
    aside.largeIDs.resize(header.largeSizes);
    aside.largeValues.resize(header.largeSizes);
    aside.oddIDs.resize(header.oddSeconds);
    aside.oddValues.resize(header.oddSeconds);
    catalogue->resizeSlots(size_t(header.slots));
    catalogue->reserveArena(size_t(header.arenaBytes));
    catalogue->arena_.resize(size_t(header.arenaBytes));
    uint64_t expectedSum = header.checksum;
    header.checksum = 0;
    uint64_t sum = checksum(&header, sizeof header, 0);
    bool complete = true;
    eachSection(*catalogue, aside, [&](auto& values) {
        size_t bytes = values.size() * sizeof(values[0]);
        if (complete && readAll(fd.get(), values.data(), bytes)) {
            sum = checksum(values.data(), bytes, sum);
        } else {
            complete = false;
        }
    });
    if (!complete) {
        return ignored("damaged: it could not be read to its end");
    }
    if (sum != expectedSum) {
        return ignored("damaged: its checksum does not match");
    }
    for (size_t i = 0; i < aside.largeIDs.size(); ++i) {
        catalogue->largeSizes_.emplace(aside.largeIDs[i], aside.largeValues[i]);
    }
    for (size_t i = 0; i < aside.oddIDs.size(); ++i) {
        catalogue->oddSeconds_.emplace(aside.oddIDs[i], aside.oddValues[i]);
    }
    if (!catalogue->verifySaved()) {
        return ignored("damaged: an entry's record does not read back");
    }
    loaded.catalogue = std::move(catalogue);
    return loaded;
}

} // namespace nexdir::detail
