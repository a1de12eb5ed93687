// The access token: cached in sysParam (direct exchange or WeChat's stable token), or asked of a
// central control server.
#pragma once

#include "core/settings.h"

#include <QString>

#include <chrono>
#include <functional>
#include <stdexcept>

namespace veltrano {

class HttpClient;

// An answer that holds no usable token, or a mode that is not a number.
class TokenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The token for the mode in settings.get_token_mod:
// - 1: direct exchange at /cgi-bin/token, cached in sysParam;
// - 3: WeChat's stable token (/cgi-bin/stable_token), cached the same way; WeChat hands every
//   program of the account the same token, and /cgi-bin/token exchanges do not disturb it;
// - any other number: the central control server at settings.token_server.
// The cache (modes 1 and 3) is used while its token can be a token and its age by the database
// clock lies between 0 and 6000 s (mode 3: also 300 s short of the stored expires_in); an empty or
// malformed token, or an in_time that is NULL, unreadable or in the future, makes it renew.
// Only the connection fields and appid, appsecret, get_token_mod and token_server of `settings`
// are read.
//
// refusedToken: empty for a normal call. Non-empty when WeChat refused that token (40001, 40014,
// 42001). Modes 1 and 3 renew only while the cache still holds it (another copy may have renewed
// already: then the cached token comes back without a request); mode 3 then asks with
// force_refresh, at most once in 30 s per appid in this process (a second refusal within that time
// gets a normal stable_token call). Mode 2 asks the central server again.
//
// Throws TokenError (its message the answer, or a fixed text and the cause), DbError or HttpError.
// A refused or unusable answer leaves the cache rows unchanged.
QString GetAccessToken(const Settings &settings, HttpClient &http,
                       const QString &refusedToken = {});

// The same with the connection fields of `connection` and the account given. forceRenew renews
// even though the cache looks fresh (mode 3: with force_refresh, under the same 30 s rule).
QString GetAccessToken(const Settings &connection, const QString &appid, const QString &appsecret,
                       const QString &mode, const QString &server, HttpClient &http,
                       bool forceRenew = false);

// The clock the 30 s rule between forced stable-token refreshes reads (an empty function: the
// steady clock), and a way to forget every refresh forced so far. For tests.
using TokenClock = std::function<std::chrono::steady_clock::time_point()>;
void SetForcedRefreshClock(TokenClock clock);
void ForgetForcedRefreshes();

} // namespace veltrano
