#pragma once

// User-visible texts that differ from the design's own because they name a facility of
// another platform. Every such replacement lives here, so they can be reviewed at a glance.
// Texts that name nothing platform-specific are used where they are needed, as they stand.

namespace quelmo::strings {

// "Reveal in Finder": the Linux file manager is not the Finder.
inline constexpr const char* revealInFileManager = "Show in Folder";

// The Finder's reveal does not fail; a file manager asked over D-Bus may not answer, and
// then there may be nothing to open the folder either. Said as "Could not show " + name +
// " in its folder: " + the reason.
inline constexpr const char* showInFolderFailed = "Could not show ";
inline constexpr const char* showInFolderFailedReason = " in its folder: ";

// The tool tip of the size column named a file system of the other platform; the point it
// makes holds for copy-on-write file systems here (btrfs, XFS reflinks).
inline constexpr const char* allocatedSizeToolTip =
    "Space allocated on disk. Shared copy-on-write blocks and snapshots mean this is not "
    "guaranteed reclaimable space.";

// The application chooser starts among the installed desktop applications rather than
// in an "Applications" folder.
inline constexpr const char* chooseApplicationTitle = "Choose an application";

} // namespace quelmo::strings
