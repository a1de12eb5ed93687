// The global hot key that hides and shows the main window: its module state, SetHotKey and the
// hook.
#pragma once

#include <QObject>
#include <QString>

class QByteArray;

namespace veltrano {

// The Windows hot-key modifier flags (MOD_ALT, MOD_CONTROL, MOD_SHIFT, MOD_WIN), named apart from
// the system's own macros so this header can sit beside <windows.h>.
inline constexpr int kModAlt = 1;
inline constexpr int kModControl = 2;
inline constexpr int kModShift = 4;
inline constexpr int kModWin = 8;

// One set for the whole process, living as long as it does; only the GUI thread touches it.
struct HotKeyState {
    // The event dispatcher whose native filter chain the hook joined, as an address. Every event
    // the hook looks at goes on down that chain, and "Del" takes the hook out of the same one.
    quintptr PrevWndProc = 0;
    int HotKeyId = 0;
    int HotKeyModifiers = 0;
    int HotKeyCode = 0; // Windows virtual-key code
    bool HookInstalled = false;
};

const HotKeyState &hotKeyState();

// The key description split at its first comma: the modifier name before it, the key code after.
struct HotKeyDescription {
    QString modifierName;
    int keyCode = 0;
};

// "Ctrl,96" gives {"Ctrl", 96}. After a comma the code must be a number (std::invalid_argument
// otherwise, std::out_of_range beyond 32 bits); without one the whole text's leading number counts,
// 0 if there is none, and the modifier name is empty.
HotKeyDescription parseHotKeyDescription(const QString &description);

// The flags of one of the seven names of the modifier table, compared exactly; anything else is 0.
int hotKeyModifierFlags(const QString &modifierName);

// action "Add" binds the described key under id (and installs the hook if it is not in place);
// "Del" takes the hook out and ends the binding of the current id. Any other action changes
// nothing. Throws what parseHotKeyDescription throws, before anything changes.
void SetHotKey(int id, const QString &description, const QString &action);

// The hook's handler: on the hot-key event of id 0 it asks for the main window to be toggled.
// Always false, so every event, the hot-key event included, goes on to the rest of the program.
bool HotKeyWindowProc(const QByteArray &eventType, void *message);

// Whether the hook is in place and the operating system accepted the binding of id 0, so the hot
// key can really bring a hidden main window back.
bool hotKeyBound();

// Emits toggleMainWindow when the hot key of id 0 is pressed; the main window listens.
class HotKeySignals : public QObject {
    Q_OBJECT
public:
    static HotKeySignals &instance();

Q_SIGNALS:
    void toggleMainWindow();
};

namespace testing {
// Takes the hook out, ends every binding and puts the module state back to its start.
void resetHotKeyModule();
// Whether the hook's filter object currently sits in the dispatcher's chain.
bool hotKeyFilterInstalled();
} // namespace testing

} // namespace veltrano
