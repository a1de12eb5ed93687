// config.ini: the Windows profile-file operations, the password shift and the connection settings.
#pragma once

#include "core/settings.h"

#include <QString>

namespace veltrano {

// configFile(): applicationFolder()/config.ini unless --config named another; rebuilt on every
// call.
QString configFilePath();

// The value of key in section, or "" when the file, section or key is missing. Names match without
// regard to case; a UTF-8 byte-order mark at the start of the file is skipped. A negative `size`
// (the default) reads the value whole; otherwise, like the Windows call with a buffer of `size`,
// at most size - 1 bytes come back.
QString ReadProfileValue(const QString &file, const QString &section, const QString &key,
                         int size = -1);

// Writes key=value into section, creating file and section when missing and replacing an existing
// key in place; every other line keeps its text and place. False when the file cannot be written or
// the value holds a line break (which would split the line).
bool WriteProfileValue(const QString &file, const QString &section, const QString &key,
                       const QString &value);

// Encode raises every UTF-16 code unit by 5, decode lowers it by 5. A code unit whose raised form
// cannot be stored as text in the file (control codes, surrogates, characters the system code page
// lacks, and "$" itself) is written as "$" and its own four hex digits instead; plain shifted text
// never holds a "$", so files written by the plain shift read back unchanged.
QString ShiftPassword(const QString &text, bool encode = false);

// Reads host, uid, pwd (decoded), db, the optional driver and encrypt keys and posts_in_flight,
// whole, into `into`; its other fields stay as they are.
void LoadConnectionSettings(Settings &into);

// Writes host, uid, pwd (shifted), db and driver into config.ini's section "con", in that order.
// False at the first key that cannot be written; the keys before it stay written.
bool WriteConnectionSettings(const Settings &typed);

} // namespace veltrano
