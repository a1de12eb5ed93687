// The follower export's requests: the list page by page, then one profile request per follower.
#include "core/followers.h"

#include "core/app_context.h"
#include "core/database.h"
#include "core/failure_text.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/settings.h"
#include "core/token_manager.h"

#include <QJsonArray>
#include <QJsonObject>

namespace veltrano {
namespace {

const std::array<QString, kProfileColumns> &memberNames()
{
    static const std::array<QString, kProfileColumns> names = {
        QStringLiteral("subscribe"), QStringLiteral("openid"),  QStringLiteral("nickname"),
        QStringLiteral("sex"),       QStringLiteral("city"),    QStringLiteral("country"),
        QStringLiteral("province"),  QStringLiteral("subscribe_time"),
    };
    return names;
}

// Runs one export; every way out goes through finish(), cancel() or fail().
class FollowerRun {
public:
    FollowerRun(HttpClient &http, const QString &token, FollowerSink &sink,
                const FollowerExportControl &control)
        : m_http(http), m_base(apiBase()), m_token(urlValue(token)), m_sink(sink), m_control(control)
    {
    }

    FollowerExportOutcome run()
    {
        try {
            return readList();
        } catch (const ExportSinkError &e) {
            return fail(QString::fromUtf8(e.what()));
        } catch (const std::exception &e) {
            // A request that got no answer: the notice follows the last answer that did arrive.
            Logger::instance().log(QStringLiteral("  粉丝导出失败：") + QString::fromUtf8(e.what()));
            return fail();
        }
    }

private:
    FollowerExportOutcome readList()
    {
        QString next;
        qint64 listed = 0;
        bool firstPage = true;
        for (;;) {
            if (cancelled())
                return cancel();
            const QString answer = get(QStringLiteral("/cgi-bin/user/get?access_token=") + m_token
                                       + QStringLiteral("&next_openid=") + urlValue(next));
            const std::optional<QJsonObject> page = ParseJson(answer);
            if (!page || page->value(QStringLiteral("errcode")).toInteger() != 0)
                return fail();
            const bool hasCount = page->contains(QStringLiteral("count"));
            const qint64 count = page->value(QStringLiteral("count")).toInteger(-1);
            if (firstPage) {
                m_out.total = page->value(QStringLiteral("total")).toInteger();
                progress();
                firstPage = false;
            }

            // WeChat ends the list with a page that has a count of 0 and no openids; any other
            // page without them is an answer we cannot read, shown to the user as it came.
            const QJsonValue ids =
                page->value(QStringLiteral("data")).toObject().value(QStringLiteral("openid"));
            if (!ids.isArray()) {
                if (hasCount && count == 0)
                    break;
                return fail();
            }
            const QJsonArray openids = ids.toArray();
            for (const QJsonValue &openid : openids) {
                if (!openid.isString())
                    return fail();
                if (cancelled())
                    return cancel();
                if (!readProfile(openid.toString()))
                    return fail();
            }
            listed += openids.size();

            // The list has ended when WeChat says so in any of the ways it is known to: no openids
            // or a count of 0, no continuation, or as many as the total. A continuation that points
            // back at the page just read would never end, so it ends the list too.
            const QString continuation = page->value(QStringLiteral("next_openid")).toString();
            if (openids.isEmpty() || count == 0 || continuation.isEmpty() || continuation == next
                || (m_out.total > 0 && listed >= m_out.total))
                break;
            next = continuation;
        }
        m_out.status = FollowerExportOutcome::Status::Finished;
        return m_out;
    }

    bool readProfile(const QString &openid)
    {
        const QString answer = get(QStringLiteral("/cgi-bin/user/info?access_token=") + m_token
                                   + QStringLiteral("&openid=") + urlValue(openid)
                                   + QStringLiteral("&lang=zh_CN"));
        const std::optional<QJsonObject> profile = ParseJson(answer);
        if (!profile)
            return false;
        ProfileRow row;
        for (int i = 0; i < kProfileColumns; ++i) {
            const auto member = profile->constFind(memberNames()[i]);
            if (member == profile->constEnd())
                return false;
            row[i] = *member;
        }
        m_sink.addFollower(row);
        ++m_out.followers;
        progress();
        return true;
    }

    QString get(const QString &pathAndQuery)
    {
        m_out.lastAnswer = m_http.HttpGet(m_base + pathAndQuery);
        return m_out.lastAnswer;
    }

    bool cancelled() const { return m_control.cancelled && m_control.cancelled(); }

    void progress() const
    {
        if (m_control.progress)
            m_control.progress(m_out.followers, m_out.total);
    }

    FollowerExportOutcome cancel()
    {
        m_out.status = FollowerExportOutcome::Status::Cancelled;
        return m_out;
    }

    FollowerExportOutcome fail(const QString &message = QString())
    {
        m_out.status = FollowerExportOutcome::Status::Failed;
        m_out.message = message.isEmpty() ? followerExportFailureText(m_out.lastAnswer) : message;
        return m_out;
    }

    HttpClient &m_http;
    const QString m_base;  // read once: it is the same for every request of the run
    const QString m_token; // as it goes into a query
    FollowerSink &m_sink;
    const FollowerExportControl &m_control;
    FollowerExportOutcome m_out;
};

} // namespace

QStringList profileMembers()
{
    return QStringList(memberNames().begin(), memberNames().end());
}

QString followerExportFailureText(const QString &lastAnswer)
{
    if (lastAnswer.contains(QStringLiteral("48001")))
        return QStringLiteral("操作失败！公众号必须要认证后才有此接口权限！") + lastAnswer;
    if (!lastAnswer.isEmpty())
        return lastAnswer;
    return QStringLiteral("操作失败！请检查相关配置！");
}

FollowerExportOutcome FetchFollowers(HttpClient &http, const QString &token, FollowerSink &sink,
                                     const FollowerExportControl &control)
{
    return FollowerRun(http, token, sink, control).run();
}

FollowerExportOutcome ExportFollowers(FollowerSink &sink, const FollowerExportControl &control)
{
    FollowerExportOutcome out;
    if (control.cancelled && control.cancelled()) {
        out.status = FollowerExportOutcome::Status::Cancelled;
        return out;
    }
    const Settings connection = gobal().snapshot();
    LoadParameters(connection.host, connection.uid, connection.pwd, connection.db);
    const Settings s = gobal().snapshot();
    try {
        HttpClient http;
        const QString token =
            GetAccessToken(s.appid, s.appsecret, s.get_token_mod, s.token_server, http);
        gobal().update([&](Settings &v) { v.cur_token = token; });
        return FetchFollowers(http, token, sink, control);
    } catch (const std::exception &e) {
        // No answer has arrived yet, so the notice is the one that points at the settings, and
        // the cause follows it: the box and the log say the same.
        out.status = FollowerExportOutcome::Status::Failed;
        out.message = failureText(followerExportFailureText(QString()), QString::fromUtf8(e.what()));
        Logger::instance().log(QStringLiteral("  ") + out.message);
        return out;
    }
}

} // namespace veltrano
