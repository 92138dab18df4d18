// quelmo: the desktop application.

#include "Application.h"
#include "BuildInfo.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<bool> terminationRequested{false};
}

int main(int argc, char** argv) {
    // --version anywhere among the arguments: one line, before anything else runs.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Quelmo %s (%s) \u2022 %s \u2022 %s\n", quelmo::build::version,
                        quelmo::build::buildNumber, quelmo::build::updateChannel,
                        quelmo::build::revision);
            return 0;
        }
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("Quelmo");
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
