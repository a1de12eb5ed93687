// Global hot keys on X11: a key grab on every root window, seen through Qt's native event filter.
#include "desktop/hotkey.h"
#include "desktop/hotkey_platform.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QList>
#include <QtGui/qguiapplication_platform.h>

#if QT_CONFIG(xcb)
#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <memory>
#endif

namespace veltrano::hotkeyplatform {

#if QT_CONFIG(xcb)
namespace {

struct Grab {
    int id = 0;
    xcb_window_t root = XCB_NONE;
    xcb_keycode_t keycode = 0;
    uint16_t modifiers = 0; // without the lock modifiers, which are grabbed alongside
};

QList<Grab> &grabs()
{
    static QList<Grab> list;
    return list;
}

// Qt's own connection: the grabbed key presses then arrive in its event stream. None on Wayland,
// the offscreen platform or without a display.
xcb_connection_t *connection()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    auto *x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

QList<xcb_window_t> roots(xcb_connection_t *c)
{
    QList<xcb_window_t> result;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem; xcb_screen_next(&it))
        result.append(it.data->root);
    return result;
}

// The X keysym of a Windows virtual-key code, or 0 for a code without one.
xcb_keysym_t keysymOf(int vk)
{
    if (vk >= 0x30 && vk <= 0x39)
        return XK_0 + (vk - 0x30);
    if (vk >= 0x41 && vk <= 0x5A)
        return XK_a + (vk - 0x41);
    if (vk >= 0x60 && vk <= 0x69)
        return XK_KP_0 + (vk - 0x60);
    if (vk >= 0x70 && vk <= 0x87)
        return XK_F1 + (vk - 0x70);
    switch (vk) {
    case 0x08: return XK_BackSpace;
    case 0x09: return XK_Tab;
    case 0x0D: return XK_Return;
    case 0x13: return XK_Pause;
    case 0x1B: return XK_Escape;
    case 0x20: return XK_space;
    case 0x21: return XK_Prior;
    case 0x22: return XK_Next;
    case 0x23: return XK_End;
    case 0x24: return XK_Home;
    case 0x25: return XK_Left;
    case 0x26: return XK_Up;
    case 0x27: return XK_Right;
    case 0x28: return XK_Down;
    case 0x2C: return XK_Print;
    case 0x2D: return XK_Insert;
    case 0x2E: return XK_Delete;
    case 0x6A: return XK_KP_Multiply;
    case 0x6B: return XK_KP_Add;
    case 0x6C: return XK_KP_Separator;
    case 0x6D: return XK_KP_Subtract;
    case 0x6E: return XK_KP_Decimal;
    case 0x6F: return XK_KP_Divide;
    case 0x90: return XK_Num_Lock;
    case 0x91: return XK_Scroll_Lock;
    case 0xBA: return XK_semicolon;
    case 0xBB: return XK_equal;
    case 0xBC: return XK_comma;
    case 0xBD: return XK_minus;
    case 0xBE: return XK_period;
    case 0xBF: return XK_slash;
    case 0xC0: return XK_grave;
    case 0xDB: return XK_bracketleft;
    case 0xDC: return XK_backslash;
    case 0xDD: return XK_bracketright;
    case 0xDE: return XK_apostrophe;
    default: return 0;
    }
}

constexpr uint16_t kChordMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

uint16_t xModifiers(int flags)
{
    uint16_t mask = 0;
    if (flags & kModAlt)
        mask |= XCB_MOD_MASK_1;
    if (flags & kModControl)
        mask |= XCB_MOD_MASK_CONTROL;
    if (flags & kModShift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (flags & kModWin)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

struct KeySymbols {
    explicit KeySymbols(xcb_connection_t *c) : p(xcb_key_symbols_alloc(c)) {}
    ~KeySymbols() { xcb_key_symbols_free(p); }
    KeySymbols(const KeySymbols &) = delete;
    KeySymbols &operator=(const KeySymbols &) = delete;

    QList<xcb_keycode_t> keycodes(xcb_keysym_t sym) const
    {
        QList<xcb_keycode_t> result;
        if (!p || !sym)
            return result;
        std::unique_ptr<xcb_keycode_t, decltype(&std::free)> codes(xcb_key_symbols_get_keycode(p,
                                                                                               sym),
                                                                   &std::free);
        for (const xcb_keycode_t *k = codes.get(); k && *k != XCB_NO_SYMBOL; ++k) {
            if (!result.contains(*k))
                result.append(*k);
        }
        return result;
    }

    xcb_key_symbols_t *p;
};

// NumLock is a modifier like any other to the X server: whichever bit holds the Num_Lock key.
uint16_t numLockMask(xcb_connection_t *c, const KeySymbols &symbols)
{
    const QList<xcb_keycode_t> numLock = symbols.keycodes(XK_Num_Lock);
    std::unique_ptr<xcb_get_modifier_mapping_reply_t, decltype(&std::free)>
        reply(xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr), &std::free);
    if (reply && !numLock.isEmpty()) {
        const xcb_keycode_t *map = xcb_get_modifier_mapping_keycodes(reply.get());
        const int perModifier = reply->keycodes_per_modifier;
        for (int mod = 0; mod < 8; ++mod) {
            for (int k = 0; k < perModifier; ++k) {
                if (numLock.contains(map[mod * perModifier + k]))
                    return uint16_t(1u << mod);
            }
        }
    }
    return XCB_MOD_MASK_2;
}

// The lock states a grab must also cover, or the hot key would die with NumLock or CapsLock on.
QList<uint16_t> lockVariants(xcb_connection_t *c, const KeySymbols &symbols)
{
    const uint16_t numLock = numLockMask(c, symbols);
    return {0, numLock, XCB_MOD_MASK_LOCK, uint16_t(numLock | XCB_MOD_MASK_LOCK)};
}

void ungrab(xcb_connection_t *c, const Grab &g, const QList<uint16_t> &locks)
{
    for (uint16_t lock : locks)
        xcb_ungrab_key(c, g.keycode, g.root, g.modifiers | lock);
}

// One round trip: the server has carried out every earlier request of this connection, so a key
// released here is free for another program as soon as this returns.
void sync(xcb_connection_t *c)
{
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

} // namespace

bool bind(int id, int modifiers, int virtualKey)
{
    xcb_connection_t *c = connection();
    if (!c)
        return false;
    const KeySymbols symbols(c);
    const QList<xcb_keycode_t> keycodes = symbols.keycodes(keysymOf(virtualKey));
    if (keycodes.isEmpty())
        return false;
    const QList<uint16_t> locks = lockVariants(c, symbols);
    const uint16_t mods = xModifiers(modifiers);

    QList<Grab> wanted;
    for (xcb_window_t root : roots(c)) {
        for (xcb_keycode_t keycode : keycodes)
            wanted.append({id, root, keycode, mods});
    }
    QList<xcb_void_cookie_t> cookies;
    for (const Grab &g : wanted) {
        for (uint16_t lock : locks) {
            cookies.append(xcb_grab_key_checked(c, 1, g.root, g.modifiers | lock, g.keycode,
                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
    }
    // Every grab is checked: BadAccess means another program holds the combination.
    bool refused = false;
    for (const xcb_void_cookie_t &cookie : cookies) {
        if (xcb_generic_error_t *error = xcb_request_check(c, cookie)) {
            refused = true;
            std::free(error);
        }
    }
    if (refused) {
        // Half a hot key (say, only with NumLock off) would work by chance; take back all of it.
        for (const Grab &g : wanted) {
            bool heldForAnotherId = false;
            for (const Grab &held : grabs()) {
                heldForAnotherId = heldForAnotherId
                                   || (held.root == g.root && held.keycode == g.keycode
                                       && held.modifiers == g.modifiers);
            }
            if (!heldForAnotherId)
                ungrab(c, g, locks);
        }
        sync(c);
        return false;
    }
    for (const Grab &g : wanted) {
        bool known = false;
        for (const Grab &held : grabs()) {
            known = known
                    || (held.id == g.id && held.root == g.root && held.keycode == g.keycode
                        && held.modifiers == g.modifiers);
        }
        if (!known)
            grabs().append(g);
    }
    return true;
}

void unbind(int id)
{
    QList<Grab> released;
    grabs().removeIf([&](const Grab &g) {
        if (g.id != id)
            return false;
        released.append(g);
        return true;
    });
    xcb_connection_t *c = connection();
    if (!c || released.isEmpty())
        return;
    const KeySymbols symbols(c);
    const QList<uint16_t> locks = lockVariants(c, symbols);
    for (const Grab &g : released) {
        bool stillWanted = false;
        for (const Grab &held : grabs()) {
            stillWanted = stillWanted
                          || (held.root == g.root && held.keycode == g.keycode
                              && held.modifiers == g.modifiers);
        }
        if (!stillWanted)
            ungrab(c, g, locks);
    }
    sync(c);
}

void unbindAll()
{
    QList<int> ids;
    for (const Grab &g : grabs()) {
        if (!ids.contains(g.id))
            ids.append(g.id);
    }
    for (int id : ids)
        unbind(id);
}

bool isBound(int id)
{
    for (const Grab &g : grabs()) {
        if (g.id == id)
            return true;
    }
    return false;
}

std::optional<int> pressedHotKey(const QByteArray &eventType, void *message)
{
    if (eventType != "xcb_generic_event_t" || !message)
        return std::nullopt;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return std::nullopt;
    const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
    // Lock states and mouse buttons held along do not change which hot key this is.
    const uint16_t chord = press->state & kChordMask;
    for (const Grab &g : grabs()) {
        if (g.keycode == press->detail && g.modifiers == chord && g.root == press->root)
            return g.id;
    }
    return std::nullopt;
}

#else // a Qt without X11 support: no global hot keys

bool bind(int, int, int)
{
    return false;
}
void unbind(int) {}
void unbindAll() {}
bool isBound(int)
{
    return false;
}
std::optional<int> pressedHotKey(const QByteArray &, void *)
{
    return std::nullopt;
}

#endif

} // namespace veltrano::hotkeyplatform
