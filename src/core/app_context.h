// The parameters main() hands the core once: the folders, the settings file and the WeChat API
// base.
#pragma once

#include <QString>

namespace veltrano {

// The public host of the WeChat Official Account API; VELTRANO_API_BASE replaces it.
inline constexpr char kWeChatApiBase[] = "https://api.weixin.qq.com";

void setApplicationFolder(const QString &folder);
// The writable folder: the daily logs, the kept answers and a relative SQLite path live here, and
// config.ini too unless setConfigFile names another. Beside the executable when that folder is
// writable, so existing installations keep their layout.
QString applicationFolder();

// "" means applicationFolder()/config.ini.
void setConfigFile(const QString &path);
QString configFile();

// Where the read-only things the program ships (the skin) are found; "" means applicationFolder().
void setResourceFolder(const QString &folder);
QString resourceFolder();

// Picks the folders for a program in `programFolder`, optionally told to read `configOverride`:
// - with a settings file named, its own folder holds the data when writable;
// - otherwise a writable program folder holds everything, so an unpacked copy keeps its own;
// - otherwise, and always for an installation (<prefix>/bin beside <prefix>/share/veltrano), the
//   settings go to the user's configuration folder and the data to the user's data folder.
// The skin is read from the program folder, or from the installation's share folder.
void chooseFolders(const QString &programFolder, const QString &configOverride = {});

// Scheme, host and optional port, without a trailing slash.
QString apiBase();

} // namespace veltrano
