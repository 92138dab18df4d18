#include "AppMenu.h"

#include "AppStrings.h"
#include "AppUpdater.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QScreen>

#include <algorithm>

namespace quelmo {

AppMenu::AppMenu(Handlers handlers, QObject* parent)
    : QObject(parent), handlers_(std::move(handlers)) {
    show_ = action("Show Quelmo", handlers_.showPanel);
    status_ = action("Preparing index\u2026", [] {});
    status_->setEnabled(false);
    verify_ = action("Verify Index", handlers_.verifyIndex);
    reindex_ = action(strings::reindexComputer, handlers_.reindex, Qt::CTRL | Qt::Key_R);
    exclude_ = action("Exclude Folders\u2026", handlers_.chooseExclusions);
    clearExclusions_ = action("Clear Custom Exclusions", handlers_.clearExclusions);
    coverage_ = action("Index Coverage\u2026", handlers_.showCoverage);
    shortcuts_ = new QActionGroup(this);
    for (auto choice : {ShortcutChoice::altSpace, ShortcutChoice::controlAltSpace,
                        ShortcutChoice::disabled}) {
        QString title = choice == ShortcutChoice::disabled ? "Disabled" : shortcutName(choice);
        QAction* item = action(title, [this, choice] {
            if (handlers_.changeShortcut) {
                handlers_.changeShortcut(choice);
            }
        }, {}, true);
        item->setData(int(choice));
        shortcuts_->addAction(item);
    }
    launchAtLogin_ = action("Launch at Login", handlers_.toggleLaunchAtLogin, {}, true);
    about_ = action("About Quelmo", handlers_.showAbout);
    privacy_ = action("Privacy\u2026", handlers_.showPrivacy);
    checkUpdates_ = action("Check for Updates\u2026", handlers_.checkForUpdates);
    automaticChecks_ =
        action("Automatically Check for Updates", handlers_.toggleAutomaticChecks, {}, true);
    diagnostics_ = action("Send Diagnostics\u2026", handlers_.showDiagnostics);
    debugLog_ = action("Open Debug Log", handlers_.openDebugLog);
    quit_ = action("Quit Quelmo", handlers_.quit, Qt::CTRL | Qt::Key_Q);
}

AppMenu::~AppMenu() = default;

QAction* AppMenu::action(const QString& title, const std::function<void()>& handler,
                         const QKeySequence& key, bool checkable) {
    if (!handler) {
        return nullptr;
    }
    auto* item = new QAction(title, this);
    item->setShortcut(key);
    item->setCheckable(checkable);
    // Keys shown in a menu are the menu's only while it is open; a window adds what it answers.
    item->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(item, &QAction::triggered, this, handler);
    return item;
}

std::unique_ptr<QMenu> AppMenu::makeMenu() {
    auto menu = std::make_unique<QMenu>();
    // Items left out (a null action) are skipped.
    auto add = [](QMenu* to, QAction* item) {
        if (item) {
            to->addAction(item);
        }
    };
    add(menu.get(), show_);
    menu->addSeparator();
    add(menu.get(), status_);
    add(menu.get(), verify_);
    add(menu.get(), reindex_);
    menu->addSeparator();
    QMenu* options = menu->addMenu("Options");
    fillOptions(options);
    menu->addSeparator();
    add(menu.get(), quit_);
    for (QMenu* opening : menu->findChildren<QMenu*>()) {
        connect(opening, &QMenu::aboutToShow, this, &AppMenu::refresh);
    }
    connect(menu.get(), &QMenu::aboutToShow, this, &AppMenu::refresh);
    return menu;
}

void AppMenu::fillOptions(QMenu* options) {
    options->setToolTipsVisible(true);
    auto add = [options](QAction* item) {
        if (item) {
            options->addAction(item);
        }
    };
    add(exclude_);
    add(clearExclusions_);
    add(coverage_);
    options->addSeparator();
    QMenu* shortcut = options->addMenu("Keyboard Shortcut");
    shortcut->addActions(shortcuts_->actions());
    shortcutMenus_ << shortcut;
    add(launchAtLogin_);
    options->addSeparator();
    add(about_);
    add(privacy_);
    options->addSeparator();
    add(checkUpdates_);
    add(automaticChecks_);
    options->addSeparator();
    add(diagnostics_);
    add(debugLog_);
}

void AppMenu::setStatus(const QString& text) {
    status_->setText(text);
    // A longer status widens an open menu from its left edge: one placed against the right of
    // the screen then runs past it, and its submenus open out of place. It is moved back in.
    for (QObject* holder : status_->associatedObjects()) {
        auto* menu = qobject_cast<QMenu*>(holder);
        if (!menu || !menu->isVisible() || !menu->screen()) {
            continue;
        }
        menu->resize(menu->sizeHint());
        QRect room = menu->screen()->availableGeometry();
        QRect placed = menu->geometry();
        placed.moveLeft(
            std::max(room.left(), std::min(placed.left(), room.right() + 1 - placed.width())));
        placed.moveTop(
            std::max(room.top(), std::min(placed.top(), room.bottom() + 1 - placed.height())));
        if (placed.topLeft() != menu->pos()) {
            menu->move(placed.topLeft());
        }
    }
}

void AppMenu::setReindexEnabled(bool enabled) {
    if (reindex_) {
        reindex_->setEnabled(enabled);
    }
}

QList<QAction*> AppMenu::keyedActions() const {
    QList<QAction*> keyed;
    for (QAction* item : {reindex_, quit_}) {
        if (item) {
            keyed << item;
        }
    }
    return keyed;
}

void AppMenu::refresh() {
    State state = handlers_.state ? handlers_.state() : State();
    auto enable = [](QAction* item, bool enabled) {
        if (item) {
            item->setEnabled(enabled);
        }
    };
    if (show_) {
        show_->setShortcut(QKeySequence(shortcutName(state.shortcut)));
    }
    enable(verify_, state.indexIdle);
    enable(exclude_, state.indexIdle);
    enable(clearExclusions_, state.indexIdle && state.hasCustomExclusions);
    for (QAction* item : shortcuts_->actions()) {
        item->setChecked(item->data().toInt() == int(state.shortcut));
    }
    shortcutMenus_.removeAll(nullptr);
    for (QMenu* shortcut : shortcutMenus_) {
        shortcut->menuAction()->setToolTip(state.shortcutWarning);
    }
    if (launchAtLogin_) {
        launchAtLogin_->setChecked(state.launchAtLogin);
    }
    if (checkUpdates_) {
        checkUpdates_->setEnabled(state.updatesConfigured && state.canCheckForUpdates);
        checkUpdates_->setToolTip(state.updatesConfigured ? QString()
                                                          : AppUpdater::notConfiguredToolTip);
    }
    if (automaticChecks_) {
        automaticChecks_->setEnabled(state.updatesConfigured);
        automaticChecks_->setChecked(state.automaticUpdateChecks);
    }
}

} // namespace quelmo
