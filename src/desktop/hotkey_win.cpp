// Global hot keys on Windows: RegisterHotKey for the GUI thread, WM_HOTKEY seen through Qt's native
// event filter.
#include "desktop/hotkey_platform.h"

#include <QByteArray>
#include <QList>
#include <qt_windows.h>

namespace veltrano::hotkeyplatform {
namespace {
QList<int> &boundIds()
{
    static QList<int> ids;
    return ids;
}
} // namespace

bool bind(int id, int modifiers, int virtualKey)
{
    // Bound to the thread, not to a window: WM_HOTKEY then reaches the native filters once, from
    // Qt's dispatcher. A window-bound one would pass them twice (dispatcher and window procedure)
    // and toggle the window back at once.
    if (!RegisterHotKey(nullptr, id, UINT(modifiers), UINT(virtualKey)))
        return false; // most often another program holds the combination
    boundIds().append(id);
    return true;
}

void unbind(int id)
{
    while (boundIds().removeOne(id))
        UnregisterHotKey(nullptr, id);
}

void unbindAll()
{
    while (!boundIds().isEmpty())
        unbind(boundIds().first());
}

bool isBound(int id)
{
    return boundIds().contains(id);
}

std::optional<int> pressedHotKey(const QByteArray &eventType, void *message)
{
    if ((eventType != "windows_generic_MSG" && eventType != "windows_dispatcher_MSG") || !message)
        return std::nullopt;
    const MSG *msg = static_cast<const MSG *>(message);
    // Only the thread's own message counts, never a WM_HOTKEY addressed to some window.
    if (msg->message != WM_HOTKEY || msg->hwnd != nullptr)
        return std::nullopt;
    return int(msg->wParam);
}

} // namespace veltrano::hotkeyplatform
