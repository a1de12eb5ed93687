// The global hot key against a real X server (Xvfb), pressed with xdotool like a user would.
#include "app/form1.h"
#include "desktop/hotkey.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

using namespace veltrano;

namespace {

constexpr int kWaitMs = 5000;

void xdotool(const QStringList &args)
{
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), args), 0)
        << args.join(' ').toStdString();
}

// A second X client, as another program holding keys would be.
class OtherClient {
public:
    OtherClient() : m_c(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(m_c);
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(symbols, XK_KP_0);
        m_keypad0 = codes ? codes[0] : 0;
        std::free(codes);
        xcb_key_symbols_free(symbols);
    }
    ~OtherClient() { xcb_disconnect(m_c); }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    bool connected() const { return !xcb_connection_has_error(m_c) && m_keypad0 != 0; }
    xcb_keycode_t keypad0() const { return m_keypad0; }

    // Grabs keypad 0 with the given modifiers; the X error code, 0 when the grab was granted.
    int grabKeypad0(uint16_t modifiers)
    {
        const xcb_void_cookie_t cookie =
            xcb_grab_key_checked(m_c, 1, m_root, modifiers, m_keypad0, XCB_GRAB_MODE_ASYNC,
                                 XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t *error = xcb_request_check(m_c, cookie);
        const int code = error ? error->error_code : 0;
        std::free(error);
        return code;
    }

    // Waits for a press of keypad 0 to reach this client.
    bool receivesKeypad0Press()
    {
        const QDeadlineTimer deadline(kWaitMs);
        while (!deadline.hasExpired()) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(m_c)) {
                const bool hit =
                    (event->response_type & 0x7f) == XCB_KEY_PRESS
                    && reinterpret_cast<xcb_key_press_event_t *>(event)->detail == m_keypad0;
                std::free(event);
                if (hit)
                    return true;
            }
            QTest::qWait(20);
        }
        return false;
    }

private:
    xcb_connection_t *m_c;
    xcb_window_t m_root = XCB_NONE;
    xcb_keycode_t m_keypad0 = 0;
};

// Sits behind the hook in the filter chain and records the key presses the hook passes on.
class PassedOn : public QAbstractNativeEventFilter {
public:
    explicit PassedOn(xcb_keycode_t keycode) : m_keycode(keycode)
    {
        qApp->installNativeEventFilter(this);
    }
    ~PassedOn() override { qApp->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if (type == "xcb_generic_event_t" && (event->response_type & 0x7f) == XCB_KEY_PRESS) {
            const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
            if (press->detail == m_keycode)
                states.append(press->state);
        }
        return false;
    }

    QList<uint16_t> states;

private:
    xcb_keycode_t m_keycode;
};

class HotKeyX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        veltrano::testing::resetHotKeyModule();
        ui::testing::reset();
    }
    void TearDown() override { veltrano::testing::resetHotKeyModule(); }

    testsupport::TempAppFolder folder;
};

} // namespace

TEST_F(HotKeyX11, TogglesTheMainWindowWithAnyLockState)
{
    OtherClient x;
    ASSERT_TRUE(x.connected());
    PassedOn behindTheHook(x.keypad0()); // installed before the hook, so it is called after it

    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ASSERT_TRUE(hotKeyBound());

    // Keypad Insert is the same key as keypad 0 and xdotool sends it without touching NumLock, so
    // NumLock and CapsLock are switched here by hand; the last press is xdotool's own keypad 0.
    xdotool({"key", "ctrl+KP_Insert"});
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), kWaitMs);
    xdotool({"key", "Num_Lock"});
    xdotool({"key", "ctrl+KP_Insert"});
    QTRY_VERIFY_WITH_TIMEOUT(w.isVisible(), kWaitMs);
    xdotool({"key", "Caps_Lock"});
    xdotool({"key", "ctrl+KP_Insert"});
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), kWaitMs);
    xdotool({"key", "Caps_Lock"});
    xdotool({"key", "Num_Lock"});
    xdotool({"key", "ctrl+KP_0"});
    QTRY_VERIFY_WITH_TIMEOUT(w.isVisible(), kWaitMs);

    // Every hot-key press went on past the hook, and the lock states really differed.
    QTRY_COMPARE_WITH_TIMEOUT(behindTheHook.states.size(), 4, kWaitMs);
    bool withNumLock = false, withoutNumLock = false, withCapsLock = false;
    for (uint16_t state : behindTheHook.states) {
        EXPECT_TRUE(state & XCB_MOD_MASK_CONTROL);
        (state & XCB_MOD_MASK_2 ? withNumLock : withoutNumLock) = true;
        withCapsLock = withCapsLock || (state & XCB_MOD_MASK_LOCK);
    }
    EXPECT_TRUE(withNumLock);
    EXPECT_TRUE(withoutNumLock);
    EXPECT_TRUE(withCapsLock);

    // Keypad 0 alone is no hot key.
    xdotool({"key", "KP_0"});
    QTRY_COMPARE_WITH_TIMEOUT(behindTheHook.states.size(), 5, kWaitMs);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isVisible());
}

TEST_F(HotKeyX11, BackgroundButtonHidesWhenBound)
{
    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ASSERT_TRUE(hotKeyBound());
    w.quitme->click();
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].text, "Ctrl+小键盘0,呼出主界面！");
    EXPECT_EQ(shown[0].title, "提示");
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());

    xdotool({"key", "ctrl+KP_0"});
    QTRY_VERIFY_WITH_TIMEOUT(w.isVisible(), kWaitMs);
}

TEST_F(HotKeyX11, HeldByAnotherProgramIsNotBound)
{
    auto other = std::make_unique<OtherClient>();
    ASSERT_TRUE(other->connected());
    // Held the way a careful program holds it: whatever NumLock and CapsLock say.
    for (int locks :
         {0, int(XCB_MOD_MASK_2), int(XCB_MOD_MASK_LOCK), XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK})
        ASSERT_EQ(other->grabKeypad0(uint16_t(XCB_MOD_MASK_CONTROL | locks)), 0);

    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(hotKeyState().HookInstalled);
    EXPECT_FALSE(hotKeyBound());

    w.quitme->click(); // the window cannot be called back: it is minimised, not hidden
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());

    // The press goes to the program holding the key; this window does not move.
    xdotool({"key", "ctrl+KP_Insert"});
    EXPECT_TRUE(other->receivesKeypad0Press());
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isVisible());

    // Once the other program is gone the key can be had.
    other.reset();
    QTRY_VERIFY_WITH_TIMEOUT((SetHotKey(0, "Ctrl,96", "Add"), hotKeyBound()), kWaitMs);
}

TEST_F(HotKeyX11, DelReleasesTheGrab)
{
    OtherClient other;
    ASSERT_TRUE(other.connected());
    SetHotKey(0, "Ctrl,96", "Add");
    ASSERT_TRUE(hotKeyBound());
    constexpr int kBadAccess = 10;
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL), kBadAccess);
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_2), kBadAccess);
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK), kBadAccess);

    SetHotKey(0, "Ctrl,96", "Del");
    EXPECT_FALSE(hotKeyBound());
    EXPECT_FALSE(hotKeyState().HookInstalled);
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL), 0);
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_2), 0);
    EXPECT_EQ(other.grabKeypad0(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK), 0);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrano"));
    QApplication::setQuitOnLastWindowClosed(false);
    ui::testing::setEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
