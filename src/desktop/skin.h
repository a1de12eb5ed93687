// The skin: the program's own look, and a style sheet from the skin folder beside the executable.
#pragma once

#include <QString>

#include <optional>

namespace veltrano {

// The built-in look for every window: Qt's Fusion style with a calm light palette. Returns 0.
int SkinH_Attach();

// Applies the Qt style sheet in the file at path to the whole program. The password belongs to
// encrypted skin files, which a plain style sheet never is; it is accepted and not used. Returns 0
// when the sheet was applied, -1 when the file is missing, unreadable, too large or not UTF-8
// text; the look then stays as it was.
int SkinH_AttachEx(const QString &path, const QString &password);

// What one attachSkin call did, so start-up can be checked without looking at pixels.
struct SkinAttachment {
    bool attached = false;               // SkinH_Attach was called
    std::optional<QString> attachExPath; // the path SkinH_AttachEx was called with, if it was
    bool styleSheetApplied = false;      // SkinH_AttachEx applied its file
};

// The start-up step: SkinH_Attach, then, when folder/skin/skinh.she exists (whatever its
// permissions), SkinH_AttachEx with folder/skin/blue.she and an empty password. Nothing is
// reported.
SkinAttachment attachSkin(const QString &applicationFolder);

} // namespace veltrano
