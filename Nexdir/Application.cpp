#include "Application.h"

#include "AppIcon.h"
#include "DataDirectory.h"
#include "DebugLog.h"

#include <QApplication>
#include <QHash>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>

#include <unistd.h>

#include <filesystem>

namespace quelmo {

int64_t SettingsDefaults::integer(const std::string& key) const {
    return settings_.value(QString::fromStdString(key), 0).toLongLong();
}

void SettingsDefaults::setInteger(const std::string& key, int64_t value) {
    settings_.setValue(QString::fromStdString(key), qlonglong(value));
    settings_.sync();
}

bool SettingsDefaults::boolean(const std::string& key) const {
    return settings_.value(QString::fromStdString(key), false).toBool();
}

void SettingsDefaults::setBoolean(const std::string& key, bool value) {
    settings_.setValue(QString::fromStdString(key), value);
    settings_.sync();
}

std::vector<std::string> SettingsDefaults::stringList(const std::string& key) const {
    std::vector<std::string> values;
    for (const QString& value : settings_.value(QString::fromStdString(key)).toStringList()) {
        values.push_back(value.toStdString());
    }
    return values;
}

void SettingsDefaults::setStringList(const std::string& key,
                                     const std::vector<std::string>& value) {
    QStringList list;
    for (const auto& item : value) {
        list << QString::fromStdString(item);
    }
    settings_.setValue(QString::fromStdString(key), list);
    settings_.sync();
}

Application::Application() = default;

Application::~Application() {
    // The search queue finishes its work before the panel that receives its answers goes.
    searchQueue_.reset();
    panel_.reset();
}

// One running copy per user and data directory: the copy that owns this index answers.
QString Application::instanceName() {
    QByteArray folder = QByteArray::fromStdString(nexdir::applicationDataDirectory());
    return QString("quelmo-%1-%2").arg(getuid()).arg(qHash(folder), 0, 16);
}

bool Application::handOverToRunningCopy() {
    QLocalSocket socket;
    socket.connectToServer(instanceName());
    if (!socket.waitForConnected(500)) {
        return false;
    }
    socket.write("show\n");
    socket.waitForBytesWritten(500);
    socket.disconnectFromServer();
    return true;
}

void Application::listenForLaunches() {
    // Launching Quelmo again (from the application menu, or where there is neither a tray nor
    // a global shortcut) shows the panel of the copy that runs.
    launches_ = std::make_unique<QLocalServer>();
    launches_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(instanceName());
    if (!launches_->listen(instanceName())) {
        nexdir::DebugLog::write("launch listener unavailable");
        return;
    }
    connect(launches_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* connection = launches_->nextPendingConnection()) {
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            panel_->showPanel();
            nexdir::DebugLog::write("panel shown for another launch");
        }
    });
}

Application::Launch Application::launch() {
    if (handOverToRunningCopy()) {
        return Launch::handedOver;
    }
    nexdir::DebugLog::write("launch");
    try {
        std::filesystem::create_directories(nexdir::applicationDataDirectory());
        diagnosticSession_.begin();
        index_ = nexdir::SearchIndex::openRecoveringCorruption(nexdir::defaultIndexPath());
    } catch (const std::exception& error) {
        nexdir::DebugLog::write(std::string("launch failed error=") + error.what());
        QMessageBox::critical(nullptr, "Quelmo could not start",
                              QString::fromStdString(error.what()));
        diagnosticSession_.end();
        return Launch::failed;
    }
    searchQueue_ = std::make_unique<nexdir::DispatchQueue>("nexdir.search");
    // Load the names searches rank from before the first keystroke needs them.
    names_ = std::make_unique<nexdir::NameSearch>(*index_);
    searchQueue_->async([names = names_.get()] {
        try {
            names->prepare();
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("search preparation failed error=") + error.what());
        }
    });
    panel_ = std::make_unique<SearchPanelController>(
        *names_, QString::fromStdString(nexdir::localTrashDirectory()), *searchQueue_);
    connect(panel_.get(), &SearchPanelController::quitRequested, this, &Application::quit);
    QApplication::setWindowIcon(applicationIcon());
    buildTrayIcon();
    listenForLaunches();
    panel_->showPanel();
    nexdir::DebugLog::write("panel shown");
    return Launch::running;
}

void Application::buildTrayIcon() {
    // Desktops without a tray still reach the panel by launching Quelmo again.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    trayIcon_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
    trayMenu_ = std::make_unique<QMenu>();
    QMenu* menu = trayMenu_.get();
    menu->addAction("Show Quelmo", panel_.get(), &SearchPanelController::showPanel);
    menu->addAction("Quit Quelmo", this, &Application::quit);
    trayIcon_->setContextMenu(menu);
    trayIcon_->setToolTip("Quelmo");
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    panel_->toggle();
                }
            });
    trayIcon_->show();
}

void Application::quit() {
    diagnosticSession_.end();
    QApplication::quit();
}

} // namespace quelmo
