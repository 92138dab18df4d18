#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nexdir {

// Event flags, with the values the engine's logic was written against.
namespace EventFlags {
inline constexpr uint32_t mustScanSubDirs = 0x1;
inline constexpr uint32_t userDropped = 0x2;
inline constexpr uint32_t kernelDropped = 0x4;
inline constexpr uint32_t eventIdsWrapped = 0x8;
inline constexpr uint32_t historyDone = 0x10;
inline constexpr uint32_t rootChanged = 0x20;
inline constexpr uint32_t mount = 0x40;
inline constexpr uint32_t unmount = 0x80;
inline constexpr uint32_t itemCreated = 0x100;
inline constexpr uint32_t itemRemoved = 0x200;
inline constexpr uint32_t itemInodeMetaMod = 0x400;
inline constexpr uint32_t itemRenamed = 0x800;
inline constexpr uint32_t itemModified = 0x1000;
inline constexpr uint32_t itemFinderInfoMod = 0x2000;
inline constexpr uint32_t itemChangeOwner = 0x4000;
inline constexpr uint32_t itemXattrMod = 0x8000;
inline constexpr uint32_t itemIsFile = 0x10000;
inline constexpr uint32_t itemIsDir = 0x20000;
inline constexpr uint32_t itemIsSymlink = 0x40000;
// This platform's own notice: the folder at the event's path could not be watched (the
// inotify watch limit), so changes inside it will not be reported. Not a change itself.
inline constexpr uint32_t folderUnwatched = 0x10000000;
} // namespace EventFlags

// One change reported by the event stream: a folder whose contents changed (or, with
// itemIsDir | itemInodeMetaMod, whose own metadata changed), or a stream notice (drops,
// history done, root changed).
struct FileSystemEvent {
    std::string path;
    uint32_t flags = 0;
    uint64_t id = 0;

    bool isBufferDrop() const {
        return flags & (EventFlags::userDropped | EventFlags::kernelDropped);
    }
    bool idsWrapped() const { return flags & EventFlags::eventIdsWrapped; }
    // Events were lost: a drop, or identifiers that wrapped.
    bool isLoss() const { return isBufferDrop() || idsWrapped(); }
    bool isHistoryDone() const { return flags & EventFlags::historyDone; }
    bool isUnwatchedNotice() const { return flags & EventFlags::folderUnwatched; }
    bool mustScanSubdirectories() const { return flags & EventFlags::mustScanSubDirs; }
    bool isRename() const { return flags & EventFlags::itemRenamed; }
    // A folder whose own metadata changed, and nothing else about it.
    bool isDirectoryMetadataOnly() const {
        using namespace EventFlags;
        constexpr uint32_t ownMetadata =
            itemInodeMetaMod | itemFinderInfoMod | itemChangeOwner | itemXattrMod;
        constexpr uint32_t contents = itemCreated | itemRemoved | itemRenamed | itemModified;
        return (flags & itemIsDir) && (flags & ownMetadata) && !(flags & contents);
    }

    // True for a drop or a wrap, and for a root change, mount or unmount under one of
    // `roots` that happened after `after` (root changes carry identifier 0).
    bool requiresFullScan(uint64_t after, const std::vector<std::string>& roots) const;

    bool operator==(const FileSystemEvent&) const = default;
};

} // namespace nexdir
