// The access token: the sysParam cache judged by the database clock, or the central control server.
#include "core/token_manager.h"

#include "core/database.h"
#include "core/http_client.h"
#include "core/settings.h"

#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <cstdint>
#include <limits>

namespace veltrano {
namespace {

// A cached token older than this, by the database clock, is renewed; the stored expires_in is not
// consulted, so a token is replaced well before WeChat's two hours run out.
constexpr qint64 kRenewAfterSeconds = 6000;

[[noreturn]] void fail(const QString &message)
{
    throw TokenError(message.toStdString());
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

QString cachedOrRenewed(const QString &appid, const QString &appsecret, HttpClient &http,
                        bool forceRenew)
{
    Database db(gobal().snapshot());
    const Statements &sql = db.sql();

    if (!forceRenew) {
        bool stale = false;
        {
            QSqlQuery age = db.exec(sql.tokenAge);
            // No row or a NULL age (in_time NULL or missing) leaves the cached token in use.
            if (age.next() && !age.value(0).isNull())
                stale = age.value(0).toLongLong() > kRenewAfterSeconds;
        }
        if (!stale) {
            QSqlQuery cached = db.exec(sql.cachedToken);
            if (!cached.next() || cached.value(0).isNull())
                fail(QStringLiteral("sysParam 中没有缓存的 access_token"));
            return cached.value(0).toString();
        }
    }

    const QString answer = http.Post(apiUrl(QStringLiteral("/cgi-bin/token?grant_type=client_credential&appid=")
                                            + urlValue(appid) + QStringLiteral("&secret=")
                                            + urlValue(appsecret)));
    // Everything is checked before the first update, so a refused exchange changes no row and the
    // next call asks again. The answer itself is the message: WeChat's errcode and errmsg say why.
    const std::optional<QJsonObject> object = ParseJson(answer);
    if (!object)
        fail(answer);
    qint16 lifetime = 0;
    if (!readLifetime(object->value(QStringLiteral("expires_in")), lifetime))
        fail(answer);
    const QJsonValue tokenValue = object->value(QStringLiteral("access_token"));
    const QString token = tokenValue.isString() ? tokenValue.toString() : QString();
    // An empty token would be cached for 100 minutes and fail every post it went with.
    if (token.isEmpty())
        fail(answer);

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
        fail(QStringLiteral("中控服务器返回 HTTP %1：%2").arg(http.lastStatus()).arg(answer));
    // A line break after the token would end up inside every request that carries it.
    const QString token = answer.trimmed();
    if (token.isEmpty())
        fail(QStringLiteral("中控服务器没有返回 access_token"));
    return token;
}

} // namespace

QString GetAccessToken(const QString &appid, const QString &appsecret, const QString &mode,
                       const QString &server, HttpClient &http, bool forceRenew)
{
    bool ok = false;
    const double number = mode.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number))
        fail(QStringLiteral("get_token_mod 不是数字：“%1”").arg(mode));
    if (number == 1)
        return cachedOrRenewed(appid, appsecret, http, forceRenew);
    return askCentralServer(server, http);
}

QString GetAccessToken(const Settings &settings, HttpClient &http, const QString &refusedToken)
{
    return GetAccessToken(settings.appid, settings.appsecret, settings.get_token_mod,
                          settings.token_server, http, !refusedToken.isEmpty());
}

} // namespace veltrano
