// The hot-key description, the modifier table and the module state that SetHotKey leaves behind.
#include "desktop/hotkey.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace veltrano;

namespace {
class HotKeyModule : public ::testing::Test {
protected:
    void SetUp() override { veltrano::testing::resetHotKeyModule(); }
    void TearDown() override { veltrano::testing::resetHotKeyModule(); }

    static quintptr dispatcherAddress()
    {
        return reinterpret_cast<quintptr>(QAbstractEventDispatcher::instance(qApp->thread()));
    }
};
} // namespace

TEST(HotKeyDescription, SplitsAtTheFirstCommaAndTakesOnlyANumberAfterIt)
{
    struct Case {
        const char *text;
        const char *modifier;
        int code;
    };
    const Case cases[] = {
        {"Ctrl,96", "Ctrl", 96},
        {"Alt+Ctrl,65", "Alt+Ctrl", 65},
        {",7", "", 7},
        {"Ctrl, 96 ", "Ctrl", 96}, // blanks around the number are no obstacle
        {"Ctrl,+96", "Ctrl", 96},
        {"Ctrl,2.5", "Ctrl", 2}, // halves round to even
        {"Ctrl,3.5", "Ctrl", 4},
        {"Ctrl,-1", "Ctrl", -1},
        // without a comma: the whole text's leading number, and no modifier name
        {"96", "", 96},
        {"  96abc", "", 96},
        {"1.5", "", 2},
        {"1e2", "", 100},
        {"Ctrl", "", 0},
        {"", "", 0},
        {"Ctrl+96", "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const HotKeyDescription d = parseHotKeyDescription(QString::fromUtf8(c.text));
        EXPECT_EQ(d.modifierName, QString::fromUtf8(c.modifier));
        EXPECT_EQ(d.keyCode, c.code);
    }
    // After a comma nothing but a number; beyond 32 bits an overflow, not a wrapped code.
    for (const char *text :
         {"Ctrl,abc", "Ctrl,", "Ctrl,96,1", "Ctrl,0x60", "Ctrl,9 6", "Ctrl,96a"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parseHotKeyDescription(QString::fromUtf8(text)), std::invalid_argument);
    }
    EXPECT_THROW(parseHotKeyDescription(QStringLiteral("Ctrl,2147483648")), std::out_of_range);
    EXPECT_THROW(parseHotKeyDescription(QStringLiteral("99999999999")), std::out_of_range);
    EXPECT_EQ(parseHotKeyDescription(QStringLiteral("Ctrl,2147483647")).keyCode, 2147483647);
}

TEST(HotKeyDescription, ModifierNamesMatchExactlyAndOnlyInTheirTableOrder)
{
    EXPECT_EQ(hotKeyModifierFlags("Ctrl"), 2);
    EXPECT_EQ(hotKeyModifierFlags("Alt"), 1);
    EXPECT_EQ(hotKeyModifierFlags("Shift"), 4);
    EXPECT_EQ(hotKeyModifierFlags("Ctrl+Alt"), 3);
    EXPECT_EQ(hotKeyModifierFlags("Ctrl+Shift"), 6);
    EXPECT_EQ(hotKeyModifierFlags("Ctrl+Alt+Shift"), 7);
    EXPECT_EQ(hotKeyModifierFlags("Shift+Alt"), 5);
    for (const char *other : {"Alt+Ctrl", "Alt+Shift", "Shift+Ctrl", "Ctrl+Shift+Alt", "ctrl",
                              "CTRL", " Ctrl", "Ctrl ", "Win", ""}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(hotKeyModifierFlags(QString::fromUtf8(other)), 0);
    }
}

// However often it is called, SetHotKey keeps one hook in the dispatcher's chain, and "Del" takes
// it out again even when no hook was there.
TEST_F(HotKeyModule, AddAndDelKeepOneHookAndRefusalsChangeNothing)
{
    SetHotKey(5, "Ctrl,96", "Del");
    HotKeyState s = hotKeyState();
    EXPECT_EQ(s.PrevWndProc, dispatcherAddress()) << "the hook went in first";
    EXPECT_FALSE(s.HookInstalled);
    EXPECT_FALSE(veltrano::testing::hotKeyFilterInstalled()) << "and came out again";
    EXPECT_EQ(s.HotKeyId, 5);
    EXPECT_EQ(s.HotKeyCode, 0);

    SetHotKey(0, "Ctrl,96", "Add");
    s = hotKeyState();
    EXPECT_EQ(s.HotKeyId, 0);
    EXPECT_EQ(s.HotKeyCode, 96);
    EXPECT_EQ(s.HotKeyModifiers, kModControl);
    EXPECT_TRUE(s.HookInstalled);
    EXPECT_TRUE(veltrano::testing::hotKeyFilterInstalled());
    // A second Add keeps the hook it has and binds the new combination under the new id.
    SetHotKey(3, "Alt+Ctrl,65", "Add");
    s = hotKeyState();
    EXPECT_EQ(s.HotKeyId, 3);
    EXPECT_EQ(s.HotKeyCode, 65);
    EXPECT_EQ(s.HotKeyModifiers, 0);
    EXPECT_EQ(s.PrevWndProc, dispatcherAddress());

    // A bad code or an unknown action changes nothing.
    EXPECT_THROW(SetHotKey(1, "Ctrl,abc", "Add"), std::invalid_argument);
    EXPECT_THROW(SetHotKey(1, "Ctrl,abc", "Del"), std::invalid_argument);
    SetHotKey(2, "Alt,65", "add"); // actions compare exactly
    SetHotKey(2, "Alt,65", "Remove");
    s = hotKeyState();
    EXPECT_EQ(s.HotKeyId, 3);
    EXPECT_EQ(s.HotKeyCode, 65);
    EXPECT_TRUE(s.HookInstalled);
    EXPECT_TRUE(veltrano::testing::hotKeyFilterInstalled());

    SetHotKey(0, "Ctrl,96", "Del");
    EXPECT_FALSE(hotKeyState().HookInstalled);
    EXPECT_FALSE(veltrano::testing::hotKeyFilterInstalled());
}

TEST_F(HotKeyModule, WithoutAnX11DisplayTheKeyIsNotBoundAndEventsPassOn)
{
    // The offscreen platform has no global hot keys: the hook is in, the binding is not.
#ifdef Q_OS_WIN
    GTEST_SKIP() << "Windows binds hot keys without a display; the smoke test presses it";
#endif
    SetHotKey(0, "Ctrl,96", "Add");
    EXPECT_TRUE(hotKeyState().HookInstalled);
    EXPECT_FALSE(hotKeyBound());

    QSignalSpy toggles(&HotKeySignals::instance(), &HotKeySignals::toggleMainWindow);
    alignas(8) unsigned char blank[64] = {};
    EXPECT_FALSE(HotKeyWindowProc("xcb_generic_event_t", blank));
    EXPECT_FALSE(HotKeyWindowProc("windows_generic_MSG", blank));
    EXPECT_FALSE(HotKeyWindowProc("xcb_generic_event_t", nullptr));
    EXPECT_EQ(toggles.count(), 0);
}
