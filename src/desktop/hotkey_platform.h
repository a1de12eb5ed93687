// The operating system's side of the global hot key: one implementation file per platform.
#pragma once

#include <optional>

class QByteArray;

namespace veltrano::hotkeyplatform {

// Binds a Windows virtual-key code with MOD_* flags under id. False when the system refused it
// (another program holds the combination) or offers no global hot keys (Wayland, no display).
bool bind(int id, int modifiers, int virtualKey);

// Ends every binding made under id; nothing happens for an id that holds none.
void unbind(int id);

// Ends every binding this process holds.
void unbindAll();

// Whether a binding under id is in force.
bool isBound(int id);

// The id of the bound hot key this native event reports, if it is a hot-key press at all.
std::optional<int> pressedHotKey(const QByteArray &eventType, void *message);

} // namespace veltrano::hotkeyplatform
