// quelmo: the desktop application.

#include "Application.h"
#include "BuildInfo.h"
#include "ProcessHeap.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> terminationRequested{false};

// The help is the one source of the manual page too: packaging/man-page.py turns this text into
// quelmo(1) at build time, reading "name:" lines at the left margin as sections and lines
// indented by two spaces as entries, so keep that layout.
constexpr const char* help = R"(usage: quelmo [--help] [--version]

Finds files by name as you type. Quelmo keeps an index of every file and folder this account
can read on the computer's internal disks, keeps it exact from the kernel's file events, and
answers from a small floating panel. It runs in the background with an icon in the system tray
and shows no window of its own at launch: Alt+Space (Options > Keyboard Shortcut), a click on
the tray icon, or launching quelmo again while it runs shows the panel. quelmo-cli(1) answers
the same queries in a terminal.

options:
  --help                                  this help
  --version                               the version, build number, update channel and
                                          revision, on one line

keys:
  Up, Down, PageUp, PageDown, Home, End   move through the results
  Return                                  open the selected item
  Ctrl+Return                             show it in its folder
  Ctrl+C                                  copy its path (or the selected text of the field)
  Menu, Shift+F10                         the selected result's menu
  F10                                     Quelmo's menu
  Escape                                  hide the panel
  Ctrl+R                                  reindex the computer
  Ctrl+Q                                  quit Quelmo

exit status:
  0                                       Quelmo quit, or another copy was already running and
                                          shows its panel instead
  1                                       Quelmo could not start, for instance because a
                                          quelmo-cli command holds the index

environment:
  XDG_DATA_HOME                           the folder of the index and debug log, Nexdir inside
                                          it (default: ~/.local/share)
  XDG_CONFIG_HOME                         the folder of the settings and of the autostart entry
                                          (default: ~/.config)
  XDG_RUNTIME_DIR                         the folder of the socket quelmo-cli searches through
  NEXDIR_ROOTS                            colon-separated folders that replace the internal
                                          volumes Quelmo indexes
  NEXDIR_MOUNTINFO                        a saved /proc/self/mountinfo to read the volumes from
  NEXDIR_DEBUG_LOG_PATH                   the debug log's path
  NEXDIR_WATCH_LIMIT                      stands in for fs.inotify.max_user_watches

files:
  ~/.local/share/Nexdir/index-v2.sqlite3  the index, with its -wal and -shm files; only its
                                          owner may read it
  ~/.local/share/Nexdir/application.lock  held by the one program that keeps the index live
  ~/.local/share/Nexdir/debug.log         the debug log, and debug.log.previous before it
  ~/.config/Quelmo/Quelmo.conf            the settings
  ~/.config/autostart/quelmo.desktop      written by Options > Launch at Login

see also:
  quelmo-cli(1)
)";

} // namespace

int main(int argc, char** argv) {
    nexdir::settleProcessHeap();
    // --help and --version anywhere among the arguments: before anything else runs, so that
    // they answer without a display and beside a running copy.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Quelmo %s (%s) \u2022 %s \u2022 %s\n", quelmo::build::version,
                        quelmo::build::buildNumber, quelmo::build::updateChannel,
                        quelmo::build::revision);
            return 0;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quelmo");
    // Ties the windows to the installed quelmo.desktop: its name and icon in the task switcher.
    QApplication::setDesktopFileName("quelmo");
    QApplication::setQuitOnLastWindowClosed(false);

    quelmo::Application quelmo;
    switch (quelmo.launch()) {
    case quelmo::Application::Launch::handedOver:
        return 0;
    case quelmo::Application::Launch::failed:
        return 1;
    case quelmo::Application::Launch::running:
        break;
    }
    // A polite termination (a log-out, a service manager) ends the session in order.
    std::signal(SIGTERM, [](int) { terminationRequested = true; });
    std::signal(SIGINT, [](int) { terminationRequested = true; });
    QTimer terminationCheck;
    QObject::connect(&terminationCheck, &QTimer::timeout, &quelmo, [&quelmo] {
        if (terminationRequested) {
            quelmo.quit();
        }
    });
    terminationCheck.start(100);
    int status = application.exec();
    if (quelmo.isScanning()) {
        // A full scan cannot be cut short and may run for minutes more; what it wrote so far
        // is a rebuild the next launch starts again, so leaving now loses nothing. The session
        // has already ended in the log.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
