// The parameters main() hands the core once: the application folder and the WeChat API base.
#pragma once

#include <QString>

namespace veltrano {

// The public host of the WeChat Official Account API; VELTRANO_API_BASE replaces it.
inline constexpr char kWeChatApiBase[] = "https://api.weixin.qq.com";

void setApplicationFolder(const QString &folder);
// The folder that holds the executable, config.ini, the skin and the daily logs.
QString applicationFolder();

// Scheme, host and optional port, without a trailing slash.
QString apiBase();

} // namespace veltrano
