// The access token: the sysParam cache judged by the database clock, filled by a direct exchange or
// by WeChat's stable token, or the central control server.
#include "core/token_manager.h"

#include "core/database.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/secrets.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <optional>

namespace veltrano {
namespace {

// A cached token older than this, by the database clock, is renewed; in direct exchange the stored
// expires_in is not consulted, so a token is replaced well before WeChat's two hours run out.
constexpr qint64 kRenewAfterSeconds = 6000;
// A stable token may come back with little of its life left (WeChat hands out the same one until
// five minutes before its end), so its cache ends that much before the lifetime it came with.
constexpr qint64 kStableMarginSeconds = 300;
// WeChat reserves this much room for a token; anything longer is some other text.
constexpr qsizetype kMaxTokenLength = 512;
// WeChat ignores forced stable-token refreshes closer together than this, and allows 20 a day.
constexpr auto kForcedRefreshSpacing = std::chrono::seconds(30);
// Enough of a central server's unusable answer to recognise it.
constexpr int kQuotedCentral = 200;

enum class Mode { Direct, Stable, Central };

// When the cached token is replaced: only when old, also when WeChat refused the one still cached,
// or in any case.
enum class Renewal { WhenStale, WhenRefused, Always };

[[noreturn]] void fail(const QString &message)
{
    throw TokenError(message.toStdString());
}

Mode modeOf(const QString &text)
{
    const std::optional<TokenMode> mode = tokenMode(text);
    if (!mode)
        fail(QStringLiteral("get_token_mod 不是数字：“%1”").arg(text));
    switch (*mode) {
    case TokenMode::Direct: return Mode::Direct;
    case TokenMode::Stable: return Mode::Stable;
    case TokenMode::Central: break;
    }
    return Mode::Central;
}

// Why the text cannot be an access token, or an empty text when it can. An error page, a JSON
// object or a text with blanks inside would otherwise go with every post of a batch.
QString whyNoToken(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("内容为空");
    if (text.size() > kMaxTokenLength)
        return QStringLiteral("长度%1超过%2个字符").arg(text.size()).arg(kMaxTokenLength);
    for (const QChar c : text) {
        if (c.isSpace())
            return QStringLiteral("中间含有空白");
        if (c == u'<' || c == u'>')
            return QStringLiteral("是网页或标记");
        if (c == u'{' || c == u'}' || c == u'[' || c == u']' || c == u'"')
            return QStringLiteral("是JSON");
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return QStringLiteral("含有令牌不会有的字符");
    }
    return {};
}

// An unusable answer as the failure quotes it: bounded, and never an empty text after a colon.
QString quoted(const QString &answer, int status)
{
    if (answer.trimmed().isEmpty())
        return QStringLiteral("回答为空（HTTP %1）").arg(status);
    return logExcerpt(answer);
}

// The lifetime WeChat reported, as a 16-bit whole number; anything else makes the answer unusable.
bool readLifetime(const QJsonValue &value, qint16 &lifetime)
{
    double number = 0;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        number = value.toString().trimmed().toDouble(&ok);
        if (!ok)
            return false;
    } else {
        return false;
    }
    if (!std::isfinite(number))
        return false;
    number = std::nearbyint(number);
    if (number < std::numeric_limits<qint16>::min() || number > std::numeric_limits<qint16>::max())
        return false;
    lifetime = static_cast<qint16>(number);
    return true;
}

// --- forced stable-token refreshes, process-wide per appid ---------------------------------------

struct ForcedRefreshes {
    std::mutex mutex;
    TokenClock clock;
    std::map<QString, std::chrono::steady_clock::time_point> last;
};

ForcedRefreshes &forcedRefreshes()
{
    static ForcedRefreshes state;
    return state;
}

// True, and the time noted, when no refresh was forced for this appid in the last 30 s. Every batch
// and export has its own client, so the rule has to hold across them.
bool claimForcedRefresh(const QString &appid)
{
    ForcedRefreshes &state = forcedRefreshes();
    std::lock_guard lock(state.mutex);
    const auto now = state.clock ? state.clock() : std::chrono::steady_clock::now();
    const auto it = state.last.find(appid);
    if (it != state.last.end() && now - it->second < kForcedRefreshSpacing)
        return false;
    state.last[appid] = now;
    return true;
}

// --- the sysParam cache ------------------------------------------------------------------------

struct Cache {
    QString token;
    bool fresh = false;
};

std::optional<qint64> wholeNumber(const QVariant &value)
{
    if (value.isNull())
        return std::nullopt;
    bool ok = false;
    const double number = value.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number) || std::abs(number) > 1e15)
        return std::nullopt;
    return static_cast<qint64>(number);
}

Cache readCache(Database &db, Mode mode)
{
    const Statements &sql = db.sql();
    std::optional<qint64> age;
    try {
        QSqlQuery query = db.exec(sql.tokenAge);
        if (query.next())
            age = wholeNumber(query.value(0));
    } catch (const DbError &) {
        // SQL Server cannot cast an unreadable in_time, nor count the seconds since an empty one
        // (1900): a cache of unknown age is renewed like a missing one.
    }
    Cache cache;
    {
        QSqlQuery query = db.exec(sql.cachedToken);
        if (query.next() && !query.value(0).isNull())
            cache.token = query.value(0).toString();
    }
    qint64 limit = kRenewAfterSeconds;
    if (mode == Mode::Stable) {
        QSqlQuery query = db.exec(sql.selectParam, {QStringLiteral("expires_in")});
        const std::optional<qint64> lifetime =
            query.next() ? wholeNumber(query.value(2)) : std::nullopt;
        limit = lifetime ? std::min(limit, *lifetime - kStableMarginSeconds) : -1;
    }
    cache.fresh = whyNoToken(cache.token).isEmpty() && age && *age >= 0 && *age <= limit;
    return cache;
}

QString exchange(const Settings &settings, HttpClient &http)
{
    return http.Post(apiUrl(
        QLatin1String(endpoint::kToken) + QStringLiteral("?grant_type=client_credential&appid=")
        + urlValue(settings.appid) + QStringLiteral("&secret=") + urlValue(settings.appsecret)));
}

QString askStableToken(const Settings &settings, HttpClient &http, bool wantForce)
{
    // A forced refresh knocks out the token every other program of the account holds, so it is
    // spent only on a refusal and never twice within WeChat's 30 s; otherwise the normal call hands
    // back the token WeChat currently deems valid.
    const bool force = wantForce && claimForcedRefresh(settings.appid);
    const QJsonObject body{{QStringLiteral("grant_type"), QStringLiteral("client_credential")},
                           {QStringLiteral("appid"), settings.appid},
                           {QStringLiteral("secret"), settings.appsecret},
                           {QStringLiteral("force_refresh"), force}};
    return http.PostJson(apiUrl(QLatin1String(endpoint::kStableToken)),
                         QJsonDocument(body).toJson(QJsonDocument::Compact));
}

QString cachedOrRenewed(const Settings &settings, HttpClient &http, Mode mode, Renewal renewal,
                        const QString &refusedToken)
{
    Database db(settings);
    const Statements &sql = db.sql();
    const Cache cache = readCache(db, mode);
    // A refusal of a token the cache no longer holds means another copy has renewed already.
    const bool force = renewal == Renewal::Always
                       || (renewal == Renewal::WhenRefused && cache.token == refusedToken);
    if (!force && cache.fresh)
        return cache.token;
    // WeChat would only answer 41002 or 41004; the operator needs to hear which box is empty.
    if (settings.appid.trimmed().isEmpty())
        fail(QStringLiteral("appid 为空"));
    if (settings.appsecret.trimmed().isEmpty())
        fail(QStringLiteral("appsecret 为空"));

    const QString answer =
        mode == Mode::Stable ? askStableToken(settings, http, force) : exchange(settings, http);
    // Everything is checked before the first update, so a refused exchange changes no row and the
    // next call asks again. The answer itself is the message: WeChat's errcode and errmsg say why.
    const std::optional<QJsonObject> object = ParseJson(answer);
    if (!object)
        fail(quoted(answer, http.lastStatus()));
    qint16 lifetime = 0;
    if (!readLifetime(object->value(QStringLiteral("expires_in")), lifetime))
        fail(quoted(answer, http.lastStatus()));
    const QJsonValue tokenValue = object->value(QStringLiteral("access_token"));
    const QString token = tokenValue.isString() ? tokenValue.toString() : QString();
    // An unusable token would be cached for 100 minutes and fail every post it went with.
    if (!whyNoToken(token).isEmpty())
        fail(quoted(answer, http.lastStatus()));

    db.exec(sql.updateParam, {token, QStringLiteral("access_token")});
    db.exec(sql.updateParam, {QString::number(lifetime), QStringLiteral("expires_in")});
    db.exec(sql.touchInTime);
    return token;
}

QString askCentralServer(const QString &server, HttpClient &http)
{
    if (server.trimmed().isEmpty())
        fail(QStringLiteral("中控服务器地址为空"));
    const QString answer = http.Post(server);
    // An error page is no token: passed on, it would go with every post of the batch.
    if (http.lastStatus() < 200 || http.lastStatus() > 299)
        fail(QStringLiteral("中控服务器返回 HTTP %1：%2")
                 .arg(http.lastStatus())
                 .arg(logExcerpt(answer, kQuotedCentral)));
    // A line break after the token would end up inside every request that carries it.
    const QString token = answer.trimmed();
    if (token.isEmpty())
        fail(QStringLiteral("中控服务器没有返回 access_token"));
    if (const QString why = whyNoToken(token); !why.isEmpty())
        fail(QStringLiteral("中控服务器返回的不是 access_token（%1）：%2")
                 .arg(why, logExcerpt(answer, kQuotedCentral)));
    return token;
}

QString obtain(const Settings &settings, HttpClient &http, Renewal renewal,
               const QString &refusedToken)
{
    // Whatever a later line quotes (an error page repeating the request URL, say), these two
    // never reach the log.
    rememberSecret(settings.appsecret);
    rememberSecret(refusedToken);
    const Mode mode = modeOf(settings.get_token_mod);
    const QString token = mode == Mode::Central
                              ? askCentralServer(settings.token_server, http)
                              : cachedOrRenewed(settings, http, mode, renewal, refusedToken);
    rememberSecret(token);
    return token;
}

} // namespace

QString GetAccessToken(const Settings &settings, HttpClient &http, const QString &refusedToken)
{
    return obtain(settings, http,
                  refusedToken.isEmpty() ? Renewal::WhenStale : Renewal::WhenRefused, refusedToken);
}

QString GetAccessToken(const Settings &connection, const QString &appid, const QString &appsecret,
                       const QString &mode, const QString &server, HttpClient &http,
                       bool forceRenew)
{
    Settings settings = connection;
    settings.appid = appid;
    settings.appsecret = appsecret;
    settings.get_token_mod = mode;
    settings.token_server = server;
    return obtain(settings, http, forceRenew ? Renewal::Always : Renewal::WhenStale, {});
}

void SetForcedRefreshClock(TokenClock clock)
{
    ForcedRefreshes &state = forcedRefreshes();
    std::lock_guard lock(state.mutex);
    state.clock = std::move(clock);
}

void ForgetForcedRefreshes()
{
    ForcedRefreshes &state = forcedRefreshes();
    std::lock_guard lock(state.mutex);
    state.last.clear();
}

} // namespace veltrano
