#pragma once

#include "AppMenu.h"
#include "AppUpdater.h"
#include "CoverageWindowController.h"
#include "DiagnosticSession.h"
#include "DiagnosticsWindowController.h"
#include "DispatchQueue.h"
#include "ExclusionsWindow.h"
#include "FileDescriptor.h"
#include "FileIndexer.h"
#include "GlobalHotKey.h"
#include "IndexSynchronization.h"
#include "IndexingController.h"
#include "NameSearch.h"
#include "QueryEndpoint.h"
#include "RebuildOwnership.h"
#include "SearchCancellation.h"
#include "SearchIndex.h"
#include "SearchPanelController.h"
#include "SettingsDefaults.h"

#include <QLocalServer>
#include <QMenu>
#include <QObject>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <atomic>
#include <memory>

namespace quelmo {

// The application-wide object: takes the single-instance lock, opens the index, builds the
// engine and the panel, runs idle maintenance, follows the desktop (mounts, sleep, screens,
// the user's return) and shuts down in order. The indexing decisions are the
// IndexingController's. Main thread.
class Application : public QObject {
    Q_OBJECT
public:
    Application();
    ~Application() override;

    enum class Launch { running, handedOver, failed };

    // Runs the launch sequence. `handedOver` when a copy that is already running was asked to
    // show its panel instead; `failed` when Quelmo could not start (the user was told).
    Launch launch();
    void quit();
    // True while a full scan holds the indexing queue: it cannot be cut short, so a quit
    // leaves it to the next launch (its rebuild folder is cleared then).
    bool isScanning() const { return controller_ && controller_->isIndexing(); }

private:
    void buildMenus();
    void buildTrayIcon();
    AppMenu::State menuState() const;
    void updateStatus(const QString& text);
    // Takes the chosen shortcut again (at launch and at every change of the choice); when it
    // cannot be had, the panel's status says so.
    void configureHotKey();
    void changeShortcut(ShortcutChoice choice);
    // The first launch explains what is indexed before the first scan; later ones start.
    void showOnboardingOrStart();
    void toggleLaunchAtLogin();
    void showAbout();
    void showPrivacy();
    void showDiagnostics();
    void openDebugLog();
    void alert(const QString& message, const QString& details);
    static QString instanceName();
    bool handOverToRunningCopy();
    void listenForLaunches();
    void watchMounts();
    void watchSleep();
    void watchPowerProfile();
    // The exclusions editor, opened with the exclusions in force.
    void showExclusions();
    // Index Coverage, shown and brought up to date.
    void showCoverage();
    // Reads a new snapshot for the coverage window off the main thread, unless one is being
    // read.
    void refreshCoverage();
    void runIdleMaintenance();
    void cancelMaintenance();
    double idleSeconds();
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    void prepareForSleep(bool sleeping);

private:
    SettingsDefaults defaults_;
    nexdir::DiagnosticSession diagnosticSession_{defaults_};
    std::unique_ptr<nexdir::DispatchQueue> indexQueue_;
    std::unique_ptr<nexdir::RebuildOwnership> indexOwnership_;
    std::unique_ptr<nexdir::SearchIndex> index_;
    std::unique_ptr<nexdir::FileIndexer> indexer_;
    std::unique_ptr<nexdir::IndexSynchronization> synchronization_;
    std::unique_ptr<nexdir::NameSearch> names_;
    std::unique_ptr<nexdir::DispatchQueue> searchQueue_;
    std::unique_ptr<nexdir::QueryEndpoint> endpoint_; // answers quelmo-cli from names_
    std::unique_ptr<SearchPanelController> panel_;
    std::unique_ptr<IndexingController> controller_;
    std::unique_ptr<AppUpdater> updater_;
    std::unique_ptr<AppMenu> menu_;
    std::unique_ptr<DiagnosticsWindowController> diagnostics_; // kept while open, then rebuilt
    // Made when first asked for, kept while the application runs.
    std::unique_ptr<CoverageWindowController> coverage_;
    std::unique_ptr<ExclusionsWindow> exclusions_;
    std::unique_ptr<nexdir::DispatchQueue> coverageQueue_; // its reads; before the index goes
    bool coverageReadPending_ = false;
    bool coverageReadAgain_ = false; // asked for while one was pending: one more follows it
    // Menus have no parent widget here; owned, they outlive the icon and the panel.
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<QMenu> panelMenu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<GlobalHotKey> hotKey_;
    QString hotKeyWarning_; // why the shortcut could not be had; empty when it works
    std::unique_ptr<QLocalServer> launches_;
    QTimer maintenanceTimer_;
    std::shared_ptr<nexdir::SearchCancellation> maintenanceCancellation_;
    nexdir::FileDescriptor mountTable_; // the mount table read for roots, for its change notices
    std::unique_ptr<QSocketNotifier> mounts_;
    QTimer powerProfileTimer_;
    std::atomic<bool> powerSaving_{false}; // read by scanner workers
    double lastInput_ = 0;                 // uptime of the last key or mouse event seen
    QString status_ = "Preparing index\u2026"; // the last status published
};

} // namespace quelmo
