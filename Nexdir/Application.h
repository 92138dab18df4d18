#pragma once

#include "DiagnosticSession.h"
#include "DispatchQueue.h"
#include "NameSearch.h"
#include "SearchIndex.h"
#include "SearchPanelController.h"

#include <QLocalServer>
#include <QMenu>
#include <QObject>
#include <QSettings>
#include <QSystemTrayIcon>

#include <memory>

namespace quelmo {

// The user defaults, kept in Quelmo's settings file.
class SettingsDefaults : public nexdir::DefaultsStore {
public:
    int64_t integer(const std::string& key) const override;
    void setInteger(const std::string& key, int64_t value) override;
    bool boolean(const std::string& key) const override;
    void setBoolean(const std::string& key, bool value) override;
    std::vector<std::string> stringList(const std::string& key) const override;
    void setStringList(const std::string& key, const std::vector<std::string>& value) override;

private:
    mutable QSettings settings_{"Quelmo", "Quelmo"};
};

// The application-wide object: opens the index, owns the search queue and the panel, and
// shuts down in order. Main thread.
class Application : public QObject {
    Q_OBJECT
public:
    Application();
    ~Application() override;

    enum class Launch { running, handedOver, failed };

    // Runs the launch sequence. `handedOver` when a copy that is already running was asked to
    // show its panel instead; `failed` when the index could not be opened (the user was told).
    Launch launch();
    void quit();

private:
    void buildTrayIcon();
    static QString instanceName();
    bool handOverToRunningCopy();
    void listenForLaunches();

    SettingsDefaults defaults_;
    nexdir::DiagnosticSession diagnosticSession_{defaults_};
    std::unique_ptr<nexdir::SearchIndex> index_;
    std::unique_ptr<nexdir::NameSearch> names_;
    std::unique_ptr<nexdir::DispatchQueue> searchQueue_;
    std::unique_ptr<SearchPanelController> panel_;
    std::unique_ptr<QMenu>
        trayMenu_; // a menu has no parent widget here; owned, and outlives the icon
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<QLocalServer> launches_;
};

} // namespace quelmo
