#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nexdir::WatchBudget {

// The kernel's inotify watches are one budget for all the programs of a user
// (fs.inotify.max_user_watches): a file manager, an editor or a build tool that cannot add a
// watch stops noticing changes. Quelmo takes at most three quarters of it and leaves at least
// `reserve` free, watching the folders most likely to change first; the rest it checks by
// polling.
inline constexpr size_t reserve = 8192;

// The most watches this process may hold, the user's limit being `limit` and the user's other
// programs holding `others`.
size_t allowed(size_t limit, size_t others);

// How soon a folder is watched: lower first. The home folder's usual folders, then the rest
// of home, then other places the user can write, then the system's folders; shallow before
// deep within each.
uint8_t rank(const std::string& folder, const std::string& home);

// The tier of a rank: 0 usual home folders, 1 the rest of home, 2 other writable places,
// 3 the system's.
inline int tierOf(uint8_t rank) {
    return rank >> 6;
}

// max_user_watches now; absent when it cannot be read.
std::optional<size_t> userLimit();

// The watches the user's other inotify instances hold, as /proc shows them where it may be
// read; this process's instance `ownDescriptor` is left out. `thisProcessOnly`: only this
// process's other instances (a stand-in limit, for tests, is a user's who runs nothing else).
size_t heldByOthers(int ownDescriptor, bool thisProcessOnly = false);

// What raises the limit for good, for the log, the help and the coverage window.
inline constexpr const char* raiseLimitCommand =
    "echo fs.inotify.max_user_watches=524288 | sudo tee /etc/sysctl.d/90-inotify.conf && "
    "sudo sysctl --system";

} // namespace nexdir::WatchBudget
