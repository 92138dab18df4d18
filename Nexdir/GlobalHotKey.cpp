#include "GlobalHotKey.h"

#include "AppStrings.h"
#include "NexdirError.h"

#include <QGuiApplication>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <set>

namespace quelmo {

namespace {

constexpr uint32_t spaceKeysym = 0x0020;   // XK_space
constexpr uint32_t numLockKeysym = 0xff7f; // XK_Num_Lock
constexpr uint8_t badAccess = 10;          // the server's "already grabbed by another client"

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

// The key codes the current keyboard map gives `keysym`, at any level.
std::vector<uint8_t> keycodesFor(xcb_connection_t* connection, uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    uint8_t first = setup->min_keycode;
    int count = setup->max_keycode - first + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        connection, xcb_get_keyboard_mapping(connection, first, uint8_t(count)), nullptr));
    std::vector<uint8_t> codes;
    if (!mapping) {
        return codes;
    }
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(mapping.get());
    int perCode = mapping->keysyms_per_keycode;
    for (int code = 0; code < count; ++code) {
        for (int level = 0; level < perCode; ++level) {
            if (symbols[code * perCode + level] == keysym) {
                codes.push_back(uint8_t(first + code));
                break;
            }
        }
    }
    return codes;
}

// The modifier bit NumLock sets (usually Mod2, but the keyboard map decides).
uint16_t numLockMask(xcb_connection_t* connection) {
    std::vector<uint8_t> numLock = keycodesFor(connection, numLockKeysym);
    Reply<xcb_get_modifier_mapping_reply_t> mapping(xcb_get_modifier_mapping_reply(
        connection, xcb_get_modifier_mapping(connection), nullptr));
    if (!mapping || numLock.empty()) {
        return 0;
    }
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(mapping.get());
    int perModifier = mapping->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            for (uint8_t code : numLock) {
                if (codes[modifier * perModifier + i] == code) {
                    return uint16_t(1u << modifier);
                }
            }
        }
    }
    return 0;
}

xcb_connection_t* xcbConnection() {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootWindow(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

} // namespace

ShortcutChoice shortcutChoice(int64_t stored) {
    switch (stored) {
    case 1:
        return ShortcutChoice::controlAltSpace;
    case 2:
        return ShortcutChoice::disabled;
    default:
        return ShortcutChoice::altSpace;
    }
}

QString shortcutName(ShortcutChoice choice) {
    switch (choice) {
    case ShortcutChoice::altSpace:
        return strings::shortcutAltSpace;
    case ShortcutChoice::controlAltSpace:
        return strings::shortcutControlAltSpace;
    case ShortcutChoice::disabled:
        break;
    }
    return {};
}

GlobalHotKey::GlobalHotKey(ShortcutChoice choice, std::function<void()> action)
    : action_(std::move(action)) {
    xcb_connection_t* connection = xcbConnection();
    if (!connection) {
        throw nexdir::NexdirError::sqlite(strings::shortcutNeedsX11);
    }
    std::vector<uint8_t> space = keycodesFor(connection, spaceKeysym);
    if (space.empty()) {
        throw nexdir::NexdirError::sqlite("The keyboard map has no Space key");
    }
    keycode_ = space.front();
    modifiers_ = XCB_MOD_MASK_1; // Alt
    if (choice == ShortcutChoice::controlAltSpace) {
        modifiers_ |= XCB_MOD_MASK_CONTROL;
    }
    uint16_t numLock = numLockMask(connection);
    ignoredModifiers_ = uint16_t(numLock | XCB_MOD_MASK_LOCK);

    // Every variant is asked for before any answer is read: one round trip, not four. Without
    // NumLock on the keyboard its variants are the plain ones, asked for once.
    std::set<uint16_t> variants;
    for (int locks : {0, int(XCB_MOD_MASK_LOCK), int(numLock), numLock | XCB_MOD_MASK_LOCK}) {
        variants.insert(uint16_t(modifiers_ | locks));
    }
    std::vector<std::pair<uint16_t, xcb_void_cookie_t>> requests;
    for (uint16_t modifiers : variants) {
        requests.emplace_back(modifiers,
                              xcb_grab_key_checked(connection, 1, rootWindow(connection), modifiers,
                                                   keycode_, XCB_GRAB_MODE_ASYNC,
                                                   XCB_GRAB_MODE_ASYNC));
    }
    bool taken = false;
    for (auto& [modifiers, cookie] : requests) {
        Reply<xcb_generic_error_t> error(xcb_request_check(connection, cookie));
        if (!error) {
            grabbed_.push_back(modifiers);
        } else if (error->error_code == badAccess) {
            taken = true;
        }
    }
    if (taken || grabbed_.empty()) {
        ungrab();
        throw nexdir::NexdirError::sqlite(shortcutName(choice).toStdString() +
                                          strings::shortcutTaken);
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
}

GlobalHotKey::~GlobalHotKey() {
    QCoreApplication::instance()->removeNativeEventFilter(this);
    ungrab();
}

void GlobalHotKey::ungrab() {
    xcb_connection_t* connection = xcbConnection();
    if (!connection) {
        return;
    }
    for (uint16_t modifiers : grabbed_) {
        xcb_ungrab_key(connection, keycode_, rootWindow(connection), modifiers);
    }
    grabbed_.clear();
    xcb_flush(connection);
}

bool GlobalHotKey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    auto* event = static_cast<xcb_generic_event_t*>(message);
    uint8_t type = event->response_type & 0x7f; // the high bit marks events sent by clients
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) {
        return false;
    }
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    if (key->detail != keycode_) {
        return false;
    }
    if (type == XCB_KEY_RELEASE) {
        held_ = false;
        lastRelease_ = key->time;
        return false;
    }
    if ((key->state & ~ignoredModifiers_ & 0xff) != modifiers_) {
        return false;
    }
    bool repeat = held_ || (lastRelease_ != 0 && key->time == lastRelease_);
    held_ = true;
    if (!repeat) {
        // Queued, so Qt takes the press's time first (it is not consumed here).
        QTimer::singleShot(0, qApp, action_);
    }
    return false;
}

} // namespace quelmo
