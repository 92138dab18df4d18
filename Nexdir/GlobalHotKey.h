#pragma once

#include <QAbstractNativeEventFilter>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace quelmo {

// The keyboard shortcut that toggles the panel from anywhere, as stored under
// "shortcutChoice". A stored value out of range reads as the default.
enum class ShortcutChoice { altSpace = 0, controlAltSpace = 1, disabled = 2 };
ShortcutChoice shortcutChoice(int64_t stored);
// "Alt+Space", "Ctrl+Alt+Space", or "" for `disabled`.
QString shortcutName(ShortcutChoice choice);

// A key combination taken for the whole X display: the server sends its presses to this
// program whichever window has the focus. Taken on creation, given back on destruction.
//
// The grab is made with and without NumLock and CapsLock, which count as modifiers to the
// server: otherwise the shortcut would stop working whenever one of them is on.
//
// Main thread: presses arrive through Qt's native event filter on the main event loop, and
// `action` runs there, after Qt has seen the press (so the press's time is the one the
// window manager is shown when the panel asks for the focus).
class GlobalHotKey : public QAbstractNativeEventFilter {
public:
    // Throws NexdirError when there is no X server to ask (a Wayland session) or another
    // client holds the combination (the server answers BadAccess).
    GlobalHotKey(ShortcutChoice choice, std::function<void()> action);
    ~GlobalHotKey() override;
    GlobalHotKey(const GlobalHotKey&) = delete;
    GlobalHotKey& operator=(const GlobalHotKey&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message,
                           qintptr* result) override;

private:
    void ungrab();

    std::function<void()> action_;
    uint8_t keycode_ = 0;
    uint16_t modifiers_ = 0;
    uint16_t ignoredModifiers_ = 0; // NumLock and CapsLock
    std::vector<uint16_t> grabbed_; // the modifier sets held
    // Auto-repeat: a held key repeats its press, either with a release of the same time
    // before each (the server's plain repeat) or without (detectable repeat). Neither is a
    // new press.
    bool held_ = false;
    uint32_t lastRelease_ = 0;
};

} // namespace quelmo
