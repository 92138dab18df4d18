#include "Application.h"

#include "Actions.h"
#include "AppIcon.h"
#include "AppStrings.h"
#include "BuildInfo.h"
#include "Clock.h"
#include "DataDirectory.h"
#include "DebugLog.h"
#include "ExclusionConfirmation.h"
#include "FileEventService.h"
#include "FileSystem.h"
#include "LaunchAtLogin.h"
#include "MountTable.h"
#include "NexdirError.h"
#include "VolumeSpace.h"
#include "WatchBudget.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFile>
#include <QHash>
#include <QKeyEvent>
#include <QLocalSocket>
#include <QMessageBox>
#include <QScreen>

#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace quelmo {

namespace {

constexpr int maintenanceIntervalSeconds = 900;
constexpr double maintenanceIdleSeconds = 60;
constexpr const char* shortcutChoiceKey = "shortcutChoice";
constexpr const char* onboardingShownKey = "didShowFullDiskAccessOnboarding";

} // namespace

Application::Application() {
    indexQueue_ = std::make_unique<nexdir::DispatchQueue>("nexdir.indexer");
}

Application::~Application() {
    qApp->removeEventFilter(this);
    endpoint_.reset();
    // The engine stops before what it works on; the search queue finishes before the panel
    // that receives its answers; the queues before the index they use.
    controller_.reset();
    coverageQueue_.reset();
    searchQueue_.reset();
    panel_.reset();
    indexQueue_.reset();
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
    std::string dataDirectory = nexdir::applicationDataDirectory();
    try {
        indexOwnership_ = std::make_unique<nexdir::RebuildOwnership>(
            dataDirectory, nexdir::applicationLockName, "quelmo");
        // A mount table named by $NEXDIR_MOUNTINFO that cannot be read stops the launch here,
        // saying why, rather than the first scan.
        nexdir::readMountTable();
        diagnosticSession_.begin();
        index_ = nexdir::SearchIndex::openRecoveringCorruption(nexdir::defaultIndexPath());
    } catch (const std::exception& error) {
        nexdir::DebugLog::write("startup failed errorCode=" +
                                std::to_string(nexdir::errorCodeOf(error)));
        // Window titles go unseen on many desktops: what happened is the alert's own text.
        QMessageBox alert(QMessageBox::Critical, "Quelmo", "Quelmo could not start",
                          QMessageBox::Ok);
        alert.setInformativeText(QString::fromStdString(error.what()));
        alert.exec();
        diagnosticSession_.end();
        return Launch::failed;
    }

    indexer_ = std::make_unique<nexdir::FileIndexer>(
        *index_, dataDirectory, defaults_.stringList("excludedPaths"),
        nexdir::FileIndexer::defaultBatchSize, nexdir::FileIndexer::defaultWorkerCount());
    // Watches follow the walks: every folder a scan or a reconcile lists is watched first.
    indexer_->setRegistrar(std::shared_ptr<nexdir::DirectoryRegistrar>(
        std::shared_ptr<nexdir::DirectoryRegistrar>(), &nexdir::FileEventService::shared()));
    indexer_->setPowerSaving([this] { return powerSaving_.load(); });
    synchronization_ =
        std::make_unique<nexdir::IndexSynchronization>(*index_, *indexer_);

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
    endpoint_ = nexdir::QueryEndpoint::start(index_->databasePath(), *names_, [] {
        return int64_t(nexdir::FileEventService::shared().unwatchedFolders());
    });
    panel_ = std::make_unique<SearchPanelController>(
        *names_, QString::fromStdString(nexdir::localTrashDirectory()), *searchQueue_);
    connect(panel_.get(), &SearchPanelController::shown, this, &Application::cancelMaintenance);
    nexdir::SearchIndex* index = index_.get();
    panel_->setStatisticsFunction([index] {
        return SearchPanelController::Statistics{index->statistics(), nexdir::VolumeSpace::boot()};
    });
    connect(panel_.get(), &SearchPanelController::coverageRequested, this,
            &Application::showCoverage);

    IndexingController::Environment environment;
    environment.index = index_.get();
    environment.indexer = indexer_.get();
    environment.synchronization = synchronization_.get();
    environment.queue = indexQueue_.get();
    environment.defaults = &defaults_;
    nexdir::FileIndexer* indexer = indexer_.get();
    environment.discoverRoots = [indexer] {
        return indexer->walkRoots(nexdir::FileIndexer::discoverInternalRoots());
    };
    environment.idle = [names = names_.get()] { names->settle(); };
    environment.followChanges = [names = names_.get()] { names->prepare(); };
    environment.confirmLargeChange = [](const std::string& question, const std::string& detail) {
        return confirmExclusionChange(QString::fromStdString(question),
                                      QString::fromStdString(detail));
    };
    controller_ = std::make_unique<IndexingController>(std::move(environment));
    connect(controller_.get(), &IndexingController::statusChanged, this,
            &Application::updateStatus);
    connect(controller_.get(), &IndexingController::resultsChanged, panel_.get(),
            &SearchPanelController::refreshResults);
    connect(controller_.get(), &IndexingController::workStarting, this,
            &Application::cancelMaintenance);

    maintenanceTimer_.setInterval(maintenanceIntervalSeconds * 1000);
    connect(&maintenanceTimer_, &QTimer::timeout, this, &Application::runIdleMaintenance);
    maintenanceTimer_.start();

    QApplication::setWindowIcon(applicationIcon());
    updater_ = std::make_unique<AppUpdater>(defaults_);
    updater_->prepareForUpdateUI = [this] { panel_->hidePanel(); };
    panel_->setCustomExclusions([this] { return defaults_.stringList("excludedPaths"); });
    panel_->setUpdateChecks([this] { return updater_->canCheckForUpdates(); },
                            [this] { updater_->checkForUpdates(); });
    buildMenus();
    buildTrayIcon();
    // A screen change may move the tray; the status item is built again as it was.
    connect(qApp, &QGuiApplication::screenAdded, this, [this] {
        QTimer::singleShot(500, this, [this] {
            if (trayIcon_) {
                trayIcon_->hide();
                trayIcon_->show();
            }
        });
    });
    watchMounts();
    watchSleep();
    watchPowerProfile();
    lastInput_ = nexdir::uptimeSeconds();
    qApp->installEventFilter(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) {
                    controller_->applicationBecameActive();
                }
            });
    listenForLaunches();
    configureHotKey();
    // How the panel can be reached, which a report of "nothing happens" needs to know.
    nexdir::DebugLog::write(
        "launch complete shortcut=" + std::to_string(defaults_.integer(shortcutChoiceKey)) +
        " registered=" + (hotKey_ ? "true" : "false") + " tray=" + (trayIcon_ ? "true" : "false"));
    // No window at launch: the panel comes when it is asked for (the shortcut, the tray
    // icon, launching Quelmo again).
    showOnboardingOrStart();
    return Launch::running;
}

void Application::buildMenus() {
    AppMenu::Handlers handlers;
    handlers.showPanel = [this] { panel_->showPanel(); };
    handlers.verifyIndex = [this] { controller_->beginVerification(false); };
    handlers.reindex = [this] { controller_->requestReindex("explicit reindex"); };
    handlers.chooseExclusions = [this] { showExclusions(); };
    handlers.clearExclusions = [this] {
        if (!controller_->isIndexing()) {
            controller_->changeExclusions({});
        }
    };
    handlers.showCoverage = [this] { showCoverage(); };
    handlers.showDiagnostics = [this] { showDiagnostics(); };
    handlers.changeShortcut = [this](ShortcutChoice choice) { changeShortcut(choice); };
    handlers.toggleLaunchAtLogin = [this] { toggleLaunchAtLogin(); };
    handlers.showAbout = [this] { showAbout(); };
    handlers.showPrivacy = [this] { showPrivacy(); };
    handlers.checkForUpdates = [this] { updater_->checkForUpdates(); };
    handlers.toggleAutomaticChecks = [this] {
        updater_->setAutomaticallyChecks(!updater_->automaticallyChecks());
    };
    handlers.openDebugLog = [this] { openDebugLog(); };
    handlers.quit = [this] { quit(); };
    handlers.state = [this] { return menuState(); };
    menu_ = std::make_unique<AppMenu>(std::move(handlers));
    menu_->setReindexEnabled(controller_->reindexEnabled());
    connect(controller_.get(), &IndexingController::reindexEnabledChanged, menu_.get(),
            &AppMenu::setReindexEnabled);
    // Without a tray every item is still at hand: the panel offers the same menu.
    panelMenu_ = menu_->makeMenu();
    panel_->setPanelMenu(panelMenu_.get(), menu_->keyedActions());
}

AppMenu::State Application::menuState() const {
    AppMenu::State state;
    state.shortcut = shortcutChoice(defaults_.integer(shortcutChoiceKey));
    state.shortcutWarning = hotKeyWarning_;
    // Exclusions change the index a scan is replacing or a verification is reading.
    state.indexIdle = !controller_->isIndexing() && !controller_->isVerifying() &&
                      !controller_->startupCheckInFlight();
    state.hasCustomExclusions = !defaults_.stringList("excludedPaths").empty();
    state.launchAtLogin = LaunchAtLogin::isEnabled();
    state.updatesConfigured = updater_->isConfigured();
    state.canCheckForUpdates = updater_->canCheckForUpdates();
    state.automaticUpdateChecks = updater_->automaticallyChecks();
    return state;
}

void Application::configureHotKey() {
    hotKey_.reset();
    QString warning;
    ShortcutChoice choice = shortcutChoice(defaults_.integer(shortcutChoiceKey));
    if (choice != ShortcutChoice::disabled) {
        try {
            hotKey_ = std::make_unique<GlobalHotKey>(choice, [this] { panel_->toggle(); });
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("global shortcut unavailable error=") +
                                    error.what());
            warning = strings::shortcutWarning;
        }
    }
    if (warning != hotKeyWarning_) {
        hotKeyWarning_ = warning;
        updateStatus(status_);
    }
}

void Application::changeShortcut(ShortcutChoice choice) {
    defaults_.setInteger(shortcutChoiceKey, int(choice));
    configureHotKey();
}

void Application::showOnboardingOrStart() {
    if (defaults_.boolean(onboardingShownKey)) {
        controller_->startInitialIndexIfNeeded();
        return;
    }
    // Set first: quitting while the alert is open does not bring it back.
    defaults_.setBoolean(onboardingShownKey, true);
    auto* onboarding = new QMessageBox(QMessageBox::Information, "Quelmo", strings::onboardingTitle);
    onboarding->setInformativeText(strings::onboardingText);
    onboarding->addButton("Index Accessible Files", QMessageBox::AcceptRole);
    onboarding->setWindowModality(Qt::ApplicationModal);
    onboarding->setAttribute(Qt::WA_DeleteOnClose);
    // However it is dismissed (its one button, Escape, the window's close), indexing starts.
    connect(onboarding, &QMessageBox::finished, this,
            [this] { controller_->startIndexing("startup or retry"); });
    onboarding->show();
    nexdir::DebugLog::write("onboarding shown");
}

void Application::toggleLaunchAtLogin() {
    bool enabled = LaunchAtLogin::isEnabled();
    auto failure = enabled ? LaunchAtLogin::disable()
                           : LaunchAtLogin::enable(QCoreApplication::applicationFilePath());
    if (failure) {
        alert(enabled ? "Could not turn off Launch at Login" : "Could not turn on Launch at Login",
              *failure);
    }
}

void Application::showAbout() {
    auto orElse = [](const char* value, const char* fallback) {
        return QString(*value ? value : fallback);
    };
    QMessageBox about(QMessageBox::NoIcon, "About Quelmo", "Quelmo", QMessageBox::Ok);
    about.setIconPixmap(applicationIcon().pixmap(64, 64));
    about.setInformativeText(
        "Version " + orElse(build::version, "Development") + "\n" +
        orElse(build::buildNumber, "unversioned") + " \u2022 " +
        orElse(build::updateChannel, "local") + " \u2022 " + orElse(build::revision, "unknown"));
    about.exec();
}

void Application::showPrivacy() {
    QFile resource(":/Privacy.txt");
    QString text = resource.open(QIODevice::ReadOnly) ? QString::fromUtf8(resource.readAll())
                                                      : QString(strings::privacyMissing);
    QMessageBox privacy(QMessageBox::Information, "Quelmo", "Quelmo privacy", QMessageBox::Ok);
    privacy.setInformativeText(text.trimmed());
    privacy.exec();
}

void Application::showDiagnostics() {
    // The open window is brought forward; a closed one is built again, with a new report of
    // the log as it is now.
    if (!diagnostics_ || !diagnostics_->isVisible()) {
        std::vector<std::string> logs =
            nexdir::DiagnosticReport::generationsOf(nexdir::DebugLog::url());
        nexdir::ReportInfo info{build::version, build::buildNumber,
                                defaults_.integer(nexdir::DiagnosticSession::launchesKey),
                                defaults_.integer(nexdir::DiagnosticSession::uncleanExitsKey)};
        diagnostics_ = std::make_unique<DiagnosticsWindowController>(
            [logs, info] { return nexdir::DiagnosticReport::build(logs, info); },
            DiagnosticUpload::configured());
    }
    diagnostics_->show();
    diagnostics_->raise();
    diagnostics_->activateWindow();
}

void Application::openDebugLog() {
    nexdir::DebugLog::write("log opened");
    if (auto failure = Actions::openWithDefault(nexdir::DebugLog::url())) {
        alert("Could not open the debug log", *failure);
    }
}

void Application::alert(const QString& message, const QString& details) {
    // Window titles go unseen on many desktops: what happened is the alert's own text.
    QMessageBox box(QMessageBox::Warning, "Quelmo", message, QMessageBox::Ok);
    box.setInformativeText(details);
    box.exec();
}

void Application::buildTrayIcon() {
    // Desktops without a tray still reach the panel by the shortcut, by launching Quelmo
    // again, and every menu item from the panel's own menu.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    trayIcon_ = std::make_unique<QSystemTrayIcon>(applicationIcon());
    trayMenu_ = menu_->makeMenu();
    trayIcon_->setContextMenu(trayMenu_.get());
    trayIcon_->setToolTip("Quelmo");
    // A click shows the panel. It does not toggle: the click itself takes the focus from the
    // panel, which hides on losing it, so a toggle would bring it straight back.
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    panel_->showPanel();
                }
            });
    trayIcon_->show();
}

void Application::updateStatus(const QString& text) {
    // The one place a status is published: the tray's first line and the panel's status.
    status_ = text;
    menu_->setStatus(text);
    if (trayIcon_) {
        trayIcon_->setToolTip("Quelmo \u2022 " + text);
    }
    panel_->setIndexStatus(hotKeyWarning_.isEmpty() ? text : text + " \u2022 " + hotKeyWarning_);
    // What the status says changed: the coverage window follows at once rather than at its
    // next refresh.
    if (coverage_ && coverage_->isVisible()) {
        refreshCoverage();
    }
    if (exclusions_) {
        exclusions_->setIndexIdle(menuState().indexIdle);
    }
}

void Application::showExclusions() {
    if (!exclusions_) {
        ExclusionsWindow::Handlers handlers;
        handlers.apply = [this](std::vector<std::string> folders) {
            // The same road as ever: a change past 10,000 items is put to the user first.
            if (!controller_->isIndexing()) {
                controller_->changeExclusions(std::move(folders));
            }
            if (coverage_ && coverage_->isVisible()) {
                refreshCoverage();
            }
        };
        handlers.countHidden = [this](const std::vector<std::string>& applied,
                                      const std::string& folder,
                                      std::function<void(std::optional<int64_t>)> done) {
            // The indexer's own measure of a change, with the folder taken out of the list
            // in force or put into it; on its queue, as every use of the indexer is.
            std::vector<std::string> changed = applied;
            auto found = std::find(changed.begin(), changed.end(), folder);
            bool inForce = found != changed.end();
            inForce ? (void)changed.erase(found) : changed.push_back(folder);
            std::vector<std::string> roots = controller_->roots();
            nexdir::FileIndexer* indexer = indexer_.get();
            indexQueue_->async([this, indexer, changed, roots, inForce, done] {
                std::optional<int64_t> count;
                try {
                    auto change =
                        indexer->exclusionChange(changed, roots, ExclusionsWindow::countLimit);
                    count = inForce ? change.readdedItems : change.removedItems;
                } catch (const std::exception& error) {
                    nexdir::DebugLog::write(std::string("exclusion count failed error=") +
                                            error.what());
                }
                QMetaObject::invokeMethod(this, [done, count] { done(count); },
                                          Qt::QueuedConnection);
            });
        };
        exclusions_ = std::make_unique<ExclusionsWindow>(std::move(handlers));
    }
    if (!exclusions_->isVisible()) {
        exclusions_->load(defaults_.stringList("excludedPaths"));
    }
    exclusions_->setIndexIdle(menuState().indexIdle);
    exclusions_->show();
    exclusions_->raise();
    exclusions_->activateWindow();
}

void Application::showCoverage() {
    cancelMaintenance();
    if (!coverage_) {
        coverageQueue_ = std::make_unique<nexdir::DispatchQueue>("nexdir.coverage");
        coverage_ = std::make_unique<CoverageWindowController>(
            [this] {
                controller_->beginVerification(false);
                refreshCoverage();
            },
            [this] { showExclusions(); });
        coverage_->onRefresh = [this] { refreshCoverage(); };
    }
    coverage_->show();
    coverage_->raise();
    coverage_->activateWindow();
    refreshCoverage();
}

void Application::refreshCoverage() {
    if (!coverage_) {
        return;
    }
    if (coverageReadPending_) {
        // One read at a time; but what changed meanwhile (a verification that ended) is
        // shown when it is done, not 5 s later.
        coverageReadAgain_ = true;
        return;
    }
    coverageReadPending_ = true;
    // What the application is doing is read here, where it is decided; the index off the main
    // thread, as a large list of paths takes a while to decode.
    CoverageSnapshot state;
    state.busy = controller_->isIndexing() || controller_->isVerifying() ||
                 controller_->startupCheckInFlight();
    state.verifying = controller_->isVerifying();
    std::vector<std::string> excluded = defaults_.stringList("excludedPaths");
    nexdir::SearchIndex* index = index_.get();
    coverageQueue_->async([this, index, state, excluded] {
        CoverageSnapshot snapshot = state;
        try {
            static_cast<nexdir::IndexCoverage&>(snapshot) = nexdir::IndexCoverage::read(*index);
            snapshot.excluded = excluded; // the user's list, which the index follows
            snapshot.unwatchedFolders =
                int64_t(nexdir::FileEventService::shared().unwatchedFolders());
            if (auto limit = nexdir::WatchBudget::userLimit()) {
                snapshot.watchLimit = int64_t(*limit);
            }
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("coverage read failed error=") + error.what());
            snapshot.error = CoverageModel::readFailure(QString::fromStdString(error.what()));
        }
        QMetaObject::invokeMethod(
            this,
            [this, snapshot] {
                coverageReadPending_ = false;
                if (coverage_) {
                    coverage_->model().setSnapshot(snapshot);
                }
                if (std::exchange(coverageReadAgain_, false)) {
                    refreshCoverage();
                }
            },
            Qt::QueuedConnection);
    });
}

void Application::watchMounts() {
    // The kernel marks its mount table with an exceptional condition when the table changes.
    // A saved table ($NEXDIR_MOUNTINFO) is a plain file, which never is: its roots stay put.
    mountTable_.reset(open(nexdir::mountTablePath().c_str(), O_RDONLY | O_CLOEXEC));
    if (!mountTable_.valid()) {
        nexdir::DebugLog::write("mount changes unavailable errorCode=" + std::to_string(errno));
        return;
    }
    mounts_ = std::make_unique<QSocketNotifier>(mountTable_.get(), QSocketNotifier::Exception);
    connect(mounts_.get(), &QSocketNotifier::activated, this, [this] {
        lseek(mountTable_.get(), 0, SEEK_SET);
        char buffer[4096];
        while (read(mountTable_.get(), buffer, sizeof buffer) > 0) {
            // read to the end, so the next change is reported again
        }
        controller_->volumesChanged();
    });
}

void Application::watchSleep() {
    // logind says when the system goes to sleep and wakes; both are only logged.
    QDBusConnection::systemBus().connect("org.freedesktop.login1", "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", "PrepareForSleep", this,
                                         SLOT(prepareForSleep(bool)));
}

void Application::prepareForSleep(bool sleeping) {
    nexdir::DebugLog::write(sleeping ? "system sleep" : "system wake");
}

void Application::watchPowerProfile() {
    // power-profiles-daemon's "power-saver": scans then walk with one worker.
    // Asked without waiting for the answer: a slow bus never holds up the panel.
    auto read = [this] {
        QDBusMessage get =
            QDBusMessage::createMethodCall("net.hadess.PowerProfiles", "/net/hadess/PowerProfiles",
                                           "org.freedesktop.DBus.Properties", "Get");
        get << QString("net.hadess.PowerProfiles") << QString("ActiveProfile");
        auto* call =
            new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(get, 500), this);
        connect(call, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* answered) {
                    QDBusPendingReply<QDBusVariant> profile = *answered;
                    powerSaving_ =
                        !profile.isError() && profile.value().variant().toString() == "power-saver";
                    answered->deleteLater();
                });
    };
    if (QDBusConnection::systemBus().isConnected()) {
        read();
        powerProfileTimer_.setInterval(60 * 1000);
        connect(&powerProfileTimer_, &QTimer::timeout, this, read);
        powerProfileTimer_.start();
    }
}

bool Application::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        lastInput_ = nexdir::uptimeSeconds();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

double Application::idleSeconds() {
    // The X server knows when the user last touched anything at all; without it, the last
    // input this application saw is what there is.
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        xcb_connection_t* connection = x11->connection();
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        xcb_screensaver_query_info_reply_t* info = xcb_screensaver_query_info_reply(
            connection, xcb_screensaver_query_info(connection, screen->root), nullptr);
        if (info) {
            double seconds = info->ms_since_user_input / 1000.0;
            free(info);
            return seconds;
        }
    }
    return nexdir::uptimeSeconds() - lastInput_;
}

void Application::cancelMaintenance() {
    if (maintenanceCancellation_) {
        maintenanceCancellation_->cancel();
    }
}

void Application::runIdleMaintenance() {
    if (maintenanceCancellation_ || controller_->startupCheckInFlight() ||
        controller_->isIndexing() || controller_->isVerifying() ||
        controller_->accessCheckPending() || panel_->isVisible() || powerSaving_ ||
        idleSeconds() <= maintenanceIdleSeconds) {
        return;
    }
    std::shared_ptr<nexdir::RegionalRecovery> recovery = controller_->recovery();
    if (!recovery || !recovery->isCaughtUp()) {
        return;
    }
    auto token = std::make_shared<nexdir::SearchCancellation>();
    maintenanceCancellation_ = token;
    nexdir::SearchIndex* index = index_.get();
    indexQueue_->async([this, index, token, recovery] {
        try {
            int64_t available =
                nexdir::availableCapacity(nexdir::applicationDataDirectory()).value_or(0);
            index->maintainIfNeeded(available, nexdir::unixSeconds(), 64 * 1024 * 1024, [&] {
                return !token->isCancelled() && recovery->isActive() && recovery->isCaughtUp();
            });
        } catch (const std::exception& error) {
            nexdir::DebugLog::write(std::string("index maintenance stopped: ") + error.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, token] {
                if (maintenanceCancellation_ == token) {
                    maintenanceCancellation_.reset();
                }
            },
            Qt::QueuedConnection);
    });
}

void Application::quit() {
    // In order: the command-line endpoint, maintenance, its timer, a pending retry and the
    // recovery, the observers, the session.
    endpoint_.reset();
    cancelMaintenance();
    maintenanceTimer_.stop();
    if (controller_) {
        controller_->stop();
    }
    if (names_) {
        // The engine has stopped writing: the next launch reads these names in one go.
        names_->saveNames();
    }
    mounts_.reset();
    mountTable_.reset();
    powerProfileTimer_.stop();
    diagnosticSession_.end();
    QApplication::quit();
}

} // namespace quelmo
