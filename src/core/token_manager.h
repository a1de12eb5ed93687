// The access token: cached in sysParam and renewed after 6000 s, or asked of a central server.
#pragma once

#include <QString>

#include <stdexcept>

namespace veltrano {

class HttpClient;

// An answer that holds no usable token, or a mode that is not a number.
class TokenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The token for mode 1 (direct exchange, cached in sysParam, judged by the database clock) or any
// other number (the central control server at `server`, whose answer is trimmed of surrounding
// white space). Throws TokenError, DbError or HttpError; a TokenError for an unusable answer
// carries the answer text as its message, and a refused exchange leaves the cache rows unchanged.
// With forceRenew a direct exchange requests a new token even though the cache looks fresh: WeChat
// refused the cached one because another program took a newer token. The central server is simply
// asked again.
QString GetAccessToken(const QString &appid, const QString &appsecret, const QString &mode,
                       const QString &server, HttpClient &http, bool forceRenew = false);

struct Settings;
// The token for the settings' mode, with the connection and credentials they hold. A non-empty
// refusedToken says WeChat refused that token: it is renewed only while the cache still holds it.
QString GetAccessToken(const Settings &settings, HttpClient &http, const QString &refusedToken = {});

} // namespace veltrano
