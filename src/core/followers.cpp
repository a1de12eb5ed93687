// The follower export's requests: the list page by page, the profiles a hundred at a time, several
// at once.
#include "core/followers.h"

#include "core/app_context.h"
#include "core/database.h"
#include "core/failure_text.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/settings.h"
#include "core/token_manager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <deque>
#include <map>
#include <optional>

namespace veltrano {
namespace {

const std::array<QString, kProfileColumns> &memberNames()
{
    static const std::array<QString, kProfileColumns> names = {
        QStringLiteral("subscribe"), QStringLiteral("openid"),         QStringLiteral("nickname"),
        QStringLiteral("sex"),       QStringLiteral("city"),           QStringLiteral("country"),
        QStringLiteral("province"),  QStringLiteral("subscribe_time"),
    };
    return names;
}

constexpr int kSlots = 4;           // requests in flight at once, the list's included
constexpr int kBatch = 100;         // openids per batchget, WeChat's limit
constexpr int kWindow = 2 * kSlots; // hundreds begun but not yet handed on, in list order
constexpr int kPollMs = 50;         // longest wait between two looks at the cancel flag
// The next list page is asked for while fewer openids than this wait for their profiles, so the
// profiles never stall on the list and the list never runs far ahead of them.
constexpr size_t kListAhead = 10000;

constexpr quint64 kListTag = 0;

// The row for one profile. A profile that lacks members but says subscribe 0 and no errcode is a
// follower who left between the list and the request: the row keeps subscribe 0 and the openid.
std::optional<ProfileRow> profileRow(const QJsonObject &profile, const QString &openid)
{
    ProfileRow row;
    bool complete = true;
    for (int i = 0; i < kProfileColumns; ++i) {
        const auto member = profile.constFind(memberNames()[i]);
        if (member == profile.constEnd())
            complete = false;
        else
            row[i] = *member;
    }
    if (complete)
        return row;
    const QJsonValue subscribe = profile.value(QStringLiteral("subscribe"));
    if (profile.contains(QStringLiteral("errcode")) || !subscribe.isDouble()
        || subscribe.toInteger() != 0)
        return std::nullopt;
    ProfileRow left;
    left[0] = subscribe;
    const QJsonValue id = profile.value(QStringLiteral("openid"));
    left[1] = id.isString() ? id : QJsonValue(openid);
    return left;
}

qint64 errcodeOf(const QJsonObject &answer)
{
    return answer.value(QStringLiteral("errcode")).toInteger();
}

// A hundred followers in list order, from the batchget request to the rows handed to the sink.
struct Hundred {
    QStringList openids;
    bool single = false; // refused as a whole for one openid: one profile request per follower
    int nextSingle = 0;  // the next follower to ask for alone
    int outstanding = 0; // requests sent and not yet answered
    std::vector<std::optional<ProfileRow>> rows;
    int rowsIn = 0;
    std::optional<QString> failure; // the answer the export ends with, once it is this one's turn

    bool done() const { return failure || (rowsIn == int(openids.size()) && outstanding == 0); }
};

// Runs one export; every way out goes through finish(), cancel() or fail().
class FollowerRun {
public:
    FollowerRun(const QString &token, FollowerSink &sink, const FollowerExportControl &control)
        : m_multi(kSlots), m_base(apiBase()), m_token(token), m_sink(sink), m_control(control)
    {}

    FollowerExportOutcome run()
    {
        try {
            return loop();
        } catch (const ExportSinkError &e) {
            return fail(causeOf(e));
        } catch (const std::exception &e) {
            if (cancelled())
                return cancel();
            // A request that got no answer: the notice follows the last answer that did arrive.
            Logger::instance().log(QStringLiteral("  粉丝导出失败：") + causeOf(e));
            return fail();
        }
    }

private:
    FollowerExportOutcome loop()
    {
        startList();
        for (;;) {
            if (cancelled())
                return cancel();
            if (m_failed) {
                m_out.lastAnswer = *m_failed;
                return fail();
            }
            schedule();
            if (m_multi.inFlight() == 0) {
                if (m_window.empty() && m_pending.empty() && m_listEnded)
                    break;
                if (!m_window.empty() && m_window.front().done()) {
                    flush();
                    continue;
                }
            }
            for (HttpMulti::Answer &answer : m_multi.wait(kPollMs)) {
                if (!answer.error.isEmpty()) {
                    m_multi.abortAll();
                    throw HttpError(answer.error.toStdString());
                }
                const auto sent = m_sent.find(answer.tag);
                const Request request = sent->second;
                m_sent.erase(sent);
                if (askedAgain(answer, request))
                    continue;
                m_out.lastAnswer = answer.body;
                if (answer.tag == kListTag)
                    readListPage(answer.body);
                else
                    readProfiles(answer.tag, answer.body);
                if (m_failed)
                    break;
            }
            if (!m_failed)
                flush();
        }
        m_out.status = FollowerExportOutcome::Status::Finished;
        return m_out;
    }

    // What to ask next, most urgent first: the next list page, the followers of a refused hundred
    // one by one, then new hundreds while the window has room.
    void schedule()
    {
        if (!m_listEnded && !m_listInFlight && m_pending.size() < kListAhead
            && m_multi.hasFreeSlot())
            startList();
        for (size_t i = 0; i < m_window.size() && m_multi.hasFreeSlot(); ++i) {
            Hundred &h = m_window[i];
            while (h.single && h.nextSingle < int(h.openids.size()) && m_multi.hasFreeSlot()) {
                const int at = h.nextSingle++;
                ++h.outstanding;
                ask(tagOf(m_firstSeq + i, at + 1),
                    {endpoint::kUserInfo, QStringLiteral("&openid=") + urlValue(h.openids[at])
                                              + QStringLiteral("&lang=zh_CN")});
            }
        }
        while (m_multi.hasFreeSlot() && m_window.size() < size_t(kWindow) && !m_pending.empty()
               && (m_pending.size() >= size_t(kBatch) || m_listEnded)) {
            Hundred h;
            QJsonArray list;
            while (h.openids.size() < kBatch && !m_pending.empty()) {
                h.openids << m_pending.front();
                list.append(QJsonObject{{QStringLiteral("openid"), m_pending.front()},
                                        {QStringLiteral("lang"), QStringLiteral("zh_CN")}});
                m_pending.pop_front();
            }
            h.rows.resize(size_t(h.openids.size()));
            h.outstanding = 1;
            m_window.push_back(std::move(h));
            const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("user_list"), list}})
                                        .toJson(QJsonDocument::Compact);
            ask(tagOf(m_firstSeq + m_window.size() - 1, 0), {endpoint::kBatchGet, {}, true, body});
        }
    }

    void startList()
    {
        m_listInFlight = true;
        ask(kListTag, {endpoint::kUserGet, QStringLiteral("&next_openid=") + urlValue(m_next)});
    }

    // A request as it was made, so that it can be made again with a renewed token.
    struct Request {
        const char *path = nullptr;
        QString query{}; // what follows the token
        bool post = false;
        QByteArray body{};
        QString token{};
    };

    void ask(quint64 tag, Request request)
    {
        request.token = m_token;
        m_multi.start(tag,
                      m_base + QLatin1String(request.path) + QStringLiteral("?access_token=")
                          + urlValue(m_token) + request.query,
                      request.post, request.body);
        m_sent[tag] = std::move(request);
    }

    // A token WeChat refused (it was renewed elsewhere, say) is renewed once for the run; the
    // request, and every other one that carried the refused token, is made again with the new one.
    bool askedAgain(const HttpMulti::Answer &answer, const Request &request)
    {
        const std::optional<QJsonObject> object = ParseJson(answer.body);
        const qint64 code = object ? errcodeOf(*object) : 0;
        if ((code != 40001 && code != 40014 && code != 42001) || !m_control.renewToken)
            return false;
        if (request.token == m_token) {
            if (m_renewed)
                return false;
            m_renewed = true;
            Logger::instance().log(QStringLiteral("  ACCESS_TOKEN被拒绝，重新获取后继续导出粉丝：")
                                   + logExcerpt(answer.body));
            m_token = m_control.renewToken(m_token);
        }
        ask(answer.tag, request);
        return true;
    }

    void readListPage(const QString &answer)
    {
        m_listInFlight = false;
        const std::optional<QJsonObject> page = ParseJson(answer);
        if (!page || errcodeOf(*page) != 0)
            return failWith(answer);
        const bool hasCount = page->contains(QStringLiteral("count"));
        const qint64 count = page->value(QStringLiteral("count")).toInteger(-1);
        if (m_firstPage) {
            m_out.total = page->value(QStringLiteral("total")).toInteger();
            progress();
            m_firstPage = false;
        }

        // WeChat ends the list with a page that has a count of 0 and no openids; any other page
        // without them is an answer we cannot read, shown to the user as it came.
        const QJsonValue ids =
            page->value(QStringLiteral("data")).toObject().value(QStringLiteral("openid"));
        if (!ids.isArray()) {
            if (hasCount && count == 0) {
                m_listEnded = true;
                return;
            }
            return failWith(answer);
        }
        const QJsonArray openids = ids.toArray();
        for (const auto &openid : openids) {
            if (!openid.isString())
                return failWith(answer);
            m_pending.push_back(openid.toString());
        }
        m_listed += openids.size();

        // The list has ended when WeChat says so in any of the ways it is known to: no openids or
        // a count of 0, no continuation, or as many as the total. A continuation that points back
        // at the page just read would never end, so it ends the list too.
        const QString continuation = page->value(QStringLiteral("next_openid")).toString();
        if (openids.isEmpty() || count == 0 || continuation.isEmpty() || continuation == m_next
            || (m_out.total > 0 && m_listed >= m_out.total))
            m_listEnded = true;
        else
            m_next = continuation;
    }

    void readProfiles(quint64 tag, const QString &answer)
    {
        const quint64 seq = (tag >> 8) - 1;
        const int part = int(tag & 0xff);
        Hundred &h = m_window[size_t(seq - m_firstSeq)];
        --h.outstanding;
        const std::optional<QJsonObject> parsed = ParseJson(answer);
        if (part > 0) {
            const int at = part - 1;
            if (!parsed || errcodeOf(*parsed) != 0)
                return refuse(h, answer);
            h.rows[size_t(at)] = profileRow(*parsed, h.openids[at]);
            if (!h.rows[size_t(at)])
                return refuse(h, answer);
            ++h.rowsIn;
            return;
        }
        if (parsed && errcodeOf(*parsed) == 40003) {
            // WeChat refuses the whole hundred for one openid it will not describe in a list (a
            // follower who has just left, say); asked for alone, the other 99 still come.
            h.single = true;
            return;
        }
        if (!parsed || errcodeOf(*parsed) != 0)
            return refuse(h, answer);
        const QJsonValue list = parsed->value(QStringLiteral("user_info_list"));
        if (!list.isArray() || list.toArray().size() != h.openids.size())
            return refuse(h, answer);
        const QJsonArray profiles = list.toArray();
        for (qsizetype i = 0; i < profiles.size(); ++i) {
            const QJsonObject profile = profiles[i].toObject();
            h.rows[size_t(i)] = profileRow(profile, h.openids[i]);
            if (!h.rows[size_t(i)]) {
                // The notice shows the one profile that could not be read, not the whole hundred.
                return refuse(h, QString::fromUtf8(
                                     QJsonDocument(profile).toJson(QJsonDocument::Compact)));
            }
        }
        h.rowsIn = int(profiles.size());
    }

    void refuse(Hundred &h, const QString &answer)
    {
        if (!h.failure)
            h.failure = answer;
    }

    // Hands on every finished hundred at the front, so the rows reach the sink in list order.
    void flush()
    {
        while (!m_window.empty() && m_window.front().done() && !m_failed) {
            Hundred &h = m_window.front();
            if (h.failure)
                return failWith(*h.failure);
            if (cancelled())
                return;
            for (const std::optional<ProfileRow> &row : h.rows)
                m_sink.addFollower(*row);
            m_out.followers += h.openids.size();
            m_window.pop_front();
            ++m_firstSeq;
            progress();
        }
    }

    static quint64 tagOf(quint64 seq, int part) { return ((seq + 1) << 8) | quint64(part); }

    bool cancelled() const { return m_control.cancelled && m_control.cancelled(); }

    void progress() const
    {
        if (m_control.progress)
            m_control.progress(m_out.followers, m_out.total);
    }

    void failWith(const QString &answer)
    {
        if (!m_failed)
            m_failed = answer;
    }

    FollowerExportOutcome cancel()
    {
        m_multi.abortAll();
        m_out.status = FollowerExportOutcome::Status::Cancelled;
        return m_out;
    }

    FollowerExportOutcome fail(const QString &message = QString())
    {
        m_multi.abortAll();
        m_out.status = FollowerExportOutcome::Status::Failed;
        m_out.message = message.isEmpty() ? followerExportFailureText(m_out.lastAnswer) : message;
        return m_out;
    }

    HttpMulti m_multi;
    const QString m_base; // read once: it is the same for every request of the run
    QString m_token;
    bool m_renewed = false;            // the run renews a refused token once
    std::map<quint64, Request> m_sent; // the requests in flight, by tag
    FollowerSink &m_sink;
    const FollowerExportControl &m_control;
    FollowerExportOutcome m_out;

    QString m_next; // the continuation the latest list request carried
    bool m_firstPage = true;
    bool m_listInFlight = false;
    bool m_listEnded = false;
    qint64 m_listed = 0;
    std::deque<QString> m_pending; // listed, not yet in a hundred
    std::deque<Hundred> m_window;
    quint64 m_firstSeq = 0; // the number of the hundred at the front of the window
    std::optional<QString> m_failed;
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

FollowerExportOutcome FetchFollowers(const QString &token, FollowerSink &sink,
                                     const FollowerExportControl &control)
{
    return FollowerRun(token, sink, control).run();
}

FollowerExportOutcome ExportFollowers(const Settings &connection, FollowerSink &sink,
                                      const FollowerExportControl &control)
{
    FollowerExportOutcome out;
    if (control.cancelled && control.cancelled()) {
        out.status = FollowerExportOutcome::Status::Cancelled;
        return out;
    }
    Settings s = connection;
    try {
        // A failed load keeps the values given; the token request then says what is wrong.
        Database db(connection, kLoadParametersSeconds);
        LoadParameters(db, s);
    } catch (...) {}
    try {
        QString token;
        {
            HttpClient http;
            if (control.cancelled)
                http.setAbortCheck(control.cancelled);
            token = GetAccessToken(s, s.appid, s.appsecret, s.get_token_mod, s.token_server, http);
        }
        FollowerExportControl renewing = control;
        renewing.renewToken = [&s, &control](const QString &refused) {
            HttpClient http;
            if (control.cancelled)
                http.setAbortCheck(control.cancelled);
            return GetAccessToken(s, http, refused);
        };
        return FetchFollowers(token, sink, renewing);
    } catch (const std::exception &e) {
        if (control.cancelled && control.cancelled()) {
            out.status = FollowerExportOutcome::Status::Cancelled;
            return out;
        }
        // No answer has arrived yet, so the notice is the one that points at the settings, and
        // the cause follows it: the box and the log say the same.
        out.status = FollowerExportOutcome::Status::Failed;
        out.message = failureText(followerExportFailureText(QString()), causeOf(e));
        Logger::instance().log(QStringLiteral("  ") + out.message);
        return out;
    }
}

} // namespace veltrano
