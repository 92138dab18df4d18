#pragma once

#include "GlobalHotKey.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QKeySequence>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QActionGroup;
class QMenu;

namespace quelmo {

// The application's menu: the tray icon's, and the same again behind the panel's menu button,
// so that a desktop without a tray reaches every item. Both menus share one set of actions,
// so an item's state is the same wherever it is shown; it is brought up to date whenever one
// of them opens. Main thread.
class AppMenu : public QObject {
    Q_OBJECT
public:
    // What the items show when a menu opens.
    struct State {
        ShortcutChoice shortcut = ShortcutChoice::altSpace;
        QString shortcutWarning; // why the shortcut could not be had; empty when it works
        bool indexIdle = true;   // no scan, no verification, no launch check
        bool hasCustomExclusions = false;
        bool launchAtLogin = false;
        bool updatesConfigured = false;
        bool canCheckForUpdates = false;
        bool automaticUpdateChecks = false;
    };
    // What the items do. An item whose handler is empty is left out of the menu: a window
    // that is not built yet has no item, rather than one that does nothing.
    struct Handlers {
        std::function<void()> showPanel, verifyIndex, reindex, chooseExclusions, clearExclusions,
            showCoverage, toggleLaunchAtLogin, showAbout, showPrivacy, checkForUpdates,
            toggleAutomaticChecks, showDiagnostics, openDebugLog, quit;
        std::function<void(ShortcutChoice)> changeShortcut;
        std::function<State()> state;
    };

    explicit AppMenu(Handlers handlers, QObject* parent = nullptr);
    ~AppMenu() override;

    // A new menu with every item, owned by the caller.
    std::unique_ptr<QMenu> makeMenu();
    // The first item below "Show Quelmo": the index's status.
    void setStatus(const QString& text);
    void setReindexEnabled(bool enabled);
    // Brings every item up to date with the state.
    void refresh();
    // The items that have keys (Reindex, Quit): a window that is to answer those keys adds
    // them, as a menu's keys work only while the menu is open.
    QList<QAction*> keyedActions() const;

private:
    // A new item, or none (null) without a handler.
    QAction* action(const QString& title, const std::function<void()>& handler,
                    const QKeySequence& key = {}, bool checkable = false);
    void fillOptions(QMenu* options);

    Handlers handlers_;
    QAction* show_ = nullptr;
    QAction* status_ = nullptr;
    QAction* verify_ = nullptr;
    QAction* reindex_ = nullptr;
    QAction* exclude_ = nullptr;
    QAction* clearExclusions_ = nullptr;
    QAction* coverage_ = nullptr;
    QActionGroup* shortcuts_ = nullptr;
    QAction* launchAtLogin_ = nullptr;
    QAction* about_ = nullptr;
    QAction* privacy_ = nullptr;
    QAction* checkUpdates_ = nullptr;
    QAction* automaticChecks_ = nullptr;
    QAction* diagnostics_ = nullptr;
    QAction* debugLog_ = nullptr;
    QAction* quit_ = nullptr;
    // The "Keyboard Shortcut" item of each menu made, whose tool tip says why the shortcut
    // could not be had.
    QList<QPointer<QMenu>> shortcutMenus_;
};

} // namespace quelmo
