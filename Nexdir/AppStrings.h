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

// The Trash button's tool tip spoke of "external-volume trash": here every file system has a
// Trash of its own (.Trash-<uid> at its top), and the button counts the user's own alone.
inline constexpr const char* trashToolTip =
    "Local Trash only. Allocated size of regular files, not reclaimable disk space. The Trash "
    "folders of other disks are not included. ";
// "Could not open Trash in Finder: ", said with the reason after it.
inline constexpr const char* openTrashFailed = "Could not open Trash in the file manager: ";

// "Reindex Mac": the index covers this computer's internal disks.
inline constexpr const char* reindexComputer = "Reindex Computer";

// The shortcut choices were written with the other platform's key symbols; here keys are
// named as desktop settings name them. Their order is the stored "shortcutChoice".
inline constexpr const char* shortcutAltSpace = "Alt+Space";
inline constexpr const char* shortcutControlAltSpace = "Ctrl+Alt+Space";

// Why a shortcut could not be had, for the log: another X client holds the key.
inline constexpr const char* shortcutTaken = " is already used by another application";
// Without an X server (a Wayland session) no program may take a key for the whole desktop.
inline constexpr const char* shortcutNeedsX11 =
    "Global shortcuts need an X11 session; this desktop does not offer them to applications";

// "use the menu bar": the tray icon stands in for the menu-bar item, and where there is no
// tray (or no global shortcut at all, on Wayland) launching Quelmo again shows the panel.
inline constexpr const char* shortcutWarning =
    "Shortcut unavailable; use the tray icon, launch Quelmo again, or select another shortcut.";

// The first-launch alert asked for Full Disk Access, a permission Linux does not have: an
// account indexes what it may read, and the rest is listed instead. Its one button starts.
inline constexpr const char* onboardingTitle = "Quelmo indexes the files this account can read";
inline constexpr const char* onboardingText =
    "Quelmo indexes the files and folders on this computer's internal disks automatically and "
    "keeps the index up to date. Folders this account cannot read are skipped and listed in "
    "Index Coverage. The index stays on this computer: nothing leaves it.";

// The privacy text is compiled into the program; the fallback named the other platform's
// bundle layout.
inline constexpr const char* privacyMissing =
    "Privacy information is missing from this build. See Nexdir/Privacy.txt in the project.";
// A build with no diagnostics service (every local build) cannot send a report; the window
// offers it to be saved or copied instead, to attach to a bug report, and says that nothing
// leaves the computer.
inline constexpr const char* diagnosticsLocalNotice =
    "Review the report below. This build sends nothing anywhere: save the report or copy it "
    "to attach it to a bug report. It contains app versions, event types, timings and counters. "
    "File paths and raw error messages are omitted. No files or index database are included.";
inline constexpr const char* diagnosticsLocalReady = "Nothing has been sent.";
inline constexpr const char* saveReport = "Save Report\u2026";
inline constexpr const char* copyReport = "Copy Report";
inline constexpr const char* saveReportTitle = "Save Quelmo diagnostics";
inline constexpr const char* reportSaved = "Saved. Nothing has been sent.";
inline constexpr const char* reportNotSaved = "Could not save the report: ";
inline constexpr const char* reportCopied = "Copied. Nothing has been sent.";
// Building the report failed, said as this + the reason.
inline constexpr const char* reportNotPrepared = "Could not prepare the report: ";

// Index Coverage: the header named the other platform's computer ("Indexing your Mac").
inline constexpr const char* coverageIndexing = "Indexing your computer";

// Its built-in exclusions listed the other platform's locations (its technical data, its
// media libraries and packages, its cloud folder). These say what the exclusion tables and
// the volume rules here leave out.
inline constexpr const char* builtInSystemTitle = "System & temporary data";
inline constexpr const char* builtInSystemText =
    "The kernel's and the system's own file systems (/proc, /sys, /dev, /run), temporary "
    "files and the search index itself are skipped.";
inline constexpr const char* builtInCachesTitle = "Caches & build output";
inline constexpr const char* builtInCachesText =
    "Caches, version-control data such as .git, node_modules and build output beside its "
    "project file are skipped; symbolic links are indexed, not followed.";
inline constexpr const char* builtInVolumesTitle = "Other volumes & network mounts";
inline constexpr const char* builtInVolumesText =
    "Network and FUSE mounts, removable disks and what is mounted under /media, /mnt or "
    "/run/media are not indexed; a scan never crosses into another mounted file system.";

// The footnote offered Full Disk Access, which does not exist here: what one account cannot
// read stays unread, and says so.
inline constexpr const char* coverageFootnote =
    "Quelmo reads what this account may read; folders it cannot read are skipped and listed "
    "here. File sizes show space allocated on disk. Shared blocks and snapshots may prevent "
    "reclaiming the full amount.";

} // namespace quelmo::strings
