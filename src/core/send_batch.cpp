// The batch: the send lease, kept answers first, a token, up to `temp` pending rows posted by kind,
// each answer stored and logged.
#include "core/send_batch.h"

#include "core/answer_ledger.h"
#include "core/database.h"
#include "core/failure_text.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/sender_lease.h"
#include "core/token_manager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace veltrano {
namespace {

struct PendingRow {
    QVariant body;
    QVariant id;
    QVariant kind;
};

void log(const QString &message)
{
    Logger::instance().log(message);
}

// What an answer means for its row.
enum class Verdict {
    Final,        // WeChat's answer: stored, the row is done
    NotNow,       // busy, server error or no WeChat answer at all: pending, counts as a try
    Quota,        // 45009/45011: the account's quota or rate, not the row's fault: pending
    TokenRefused, // 40001/40014/42001: the token, not the message
};

Verdict judge(const QString &answer, int httpStatus)
{
    if (httpStatus < 200 || httpStatus > 299)
        return Verdict::NotNow;
    const auto object = LeadingJsonObject(answer);
    if (!object || !object->value(QStringLiteral("errcode")).isDouble())
        return Verdict::NotNow;
    switch (object->value(QStringLiteral("errcode")).toInt()) {
    case -1: return Verdict::NotNow;
    case 45009:
    case 45011: return Verdict::Quota;
    case 40001:
    case 40014:
    case 42001: return Verdict::TokenRefused;
    default: return Verdict::Final;
    }
}

bool accepted(const QString &answer)
{
    const auto object = LeadingJsonObject(answer);
    return object && object->value(QStringLiteral("errcode")).toInt(-1) == 0;
}

// A body that is not valid UTF-8 would be posted with replacement characters in it: refuse it.
bool validText(const QVariant &body)
{
    if (body.typeId() == QMetaType::QByteArray) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(body.toByteArray());
        return !decoder.hasError();
    }
    // Text drivers have already decoded it; a replacement character is where bad bytes were.
    return !body.toString().contains(QChar::ReplacementCharacter);
}

// A post on its way: what to post again if the token is renewed under it.
struct InFlight {
    QString id;
    int kind = 0;
    QString body;
    QString token;
    QString follower;
    bool retried = false;
};

// The follower a body is addressed to; empty when the body names none, which ties it to no other
// row.
QString followerOf(const QVariant &body)
{
    const auto object = ParseJson(body.toString());
    return object ? object->value(QStringLiteral("touser")).toString() : QString();
}

class Batch {
public:
    explicit Batch(BatchContext &context)
        : m_ctx(context), m_ledger(*context.ledger),
          m_width(std::clamp(context.postsInFlight, 1, kMaxPostsInFlight)), m_posts(m_width)
    {}
    ~Batch() { sayLateLines(); }
    BatchReport run();
    void runOn(Database &db);

private:
    void writeBackKept(Database &db);
    void postPending(Database &db, int size);
    std::vector<PendingRow> readPending(Database &db, int size);
    void postRows(Database &db, const std::vector<PendingRow> &rows);
    std::optional<size_t> nextRow(const std::vector<QString> &followers, size_t &next);
    bool mayPost(Database &db, bool &loaded, const std::function<bool()> &load);
    bool refuseLocally(Database &db, const PendingRow &row, int &kind);
    void submit(const InFlight &post);
    void settle(Database &db, const HttpMulti::Answer &answer);
    void renewAndRepost();
    void record(Database &db, const InFlight &post, const HttpMulti::Answer &reply,
                Verdict verdict);
    bool ledgerSaved();
    void holdLeaseWhileKept(Database &db);
    bool giveUpOrWait(Database &db, const QString &id, const QString &why);
    bool store(Database &db, const QString &id, const QString &text);
    bool end(const QString &why);
    bool databaseFailed(const DbError &e);
    void say(const QString &line);
    void sayLateLines();

    BatchContext &m_ctx;
    AnswerLedger &m_ledger;
    const int m_width;
    HttpClient m_http; // the token
    HttpMulti m_posts; // the posts, m_width at most on their way
    std::map<qint64, InFlight> m_inFlight;
    // Followers with a message on its way or waiting for a new token: their later rows wait.
    QSet<QString> m_busy;
    // Rows of the current part held back behind an earlier row of their follower, in queue order.
    std::deque<size_t> m_held;
    // Posts refused for their token, waiting until every post on its way is answered and stored.
    std::vector<InFlight> m_awaitingToken;
    qint64 m_nextTag = 0;
    QString m_token;
    bool m_renewed = false;
    BatchReport m_report;
    // Answer lines wait until the next post is on its way, so writing them delays no post. Every
    // other line of the batch comes after them.
    QStringList m_lateLines;
};

void Batch::say(const QString &line)
{
    sayLateLines();
    log(line);
}

void Batch::sayLateLines()
{
    for (const QString &line : std::as_const(m_lateLines))
        log(line);
    m_lateLines.clear();
}

// The batch posts nothing more; the answers of posts already on their way are still stored.
bool Batch::end(const QString &why)
{
    if (!m_report.endedEarly)
        m_report.failure = why;
    m_report.endedEarly = true;
    return false;
}

BatchReport Batch::run()
{
    try {
        // One connection for the whole batch. It reads sysParam first, before anything that could
        // stop the batch, so a value mended while the service runs counts from this batch; a
        // parameter that cannot be read leaves the values the batch was given.
        Database db(m_ctx.settings);
        try {
            LoadParameters(db, m_ctx.settings);
            m_report.parameters = m_ctx.settings;
        } catch (const DbError &) {}
        runOn(db);
    } catch (const DbError &e) {
        databaseFailed(e);
    }
    return m_report;
}

void Batch::runOn(Database &db)
{
    const std::optional<int> size = wholeNumber(m_ctx.settings.temp);
    if (!size || *size < 0) {
        m_report.failure =
            QStringLiteral("每次发送批量（temp）“%1”不是整数，本次不发送").arg(m_ctx.settings.temp);
        say(QStringLiteral("  ") + m_report.failure);
        return;
    }

    if (!m_ledger.loadError().isEmpty() && !m_ledger.reload()) {
        m_report.failure =
            QStringLiteral("发送结果记录文件无法读取，本批次不发送：") + m_ledger.loadError();
        say(QStringLiteral("  ") + m_report.failure);
        return;
    }
    if (!m_ctx.lease->acquire(db)) {
        m_report.failure =
            QStringLiteral("另一个副本正在发送（%1），本副本跳过本批次").arg(m_ctx.lease->holder());
        say(QStringLiteral("  ") + m_report.failure);
        return;
    }
    // Answers from earlier batches first: their rows were posted and must never be posted again.
    writeBackKept(db);
    if (m_report.endedEarly)
        return;

    try {
        m_token = GetAccessToken(m_ctx.settings, m_http);
    } catch (const std::exception &e) {
        m_report.failure = QStringLiteral("获取ACCESS_TOKEN失败，本次不发送：")
                           + logExcerpt(causeOf(e), kMaxLoggedAnswer);
        m_report.tokenFailed = true;
        say(QStringLiteral("  ") + m_report.failure);
        return;
    }
    m_report.token = m_token;
    m_report.ran = true;

    postPending(db, *size);

    m_report.pending = CountPending(db);
}

bool Batch::databaseFailed(const DbError &e)
{
    const QString why = QStringLiteral("数据库操作失败，本批次结束：") + causeOf(e);
    say(QStringLiteral("  ") + why);
    return end(why);
}

// A row whose answer the database still refuses (a trigger, say) keeps its answer in the ledger and
// is skipped; the rows behind it move on.
void Batch::writeBackKept(Database &db)
{
    const QMap<QString, QString> kept = m_ledger.unstored();
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (!store(db, it.key(), it.value())) {
            ++m_report.unstored;
            continue;
        }
        m_ledger.forgetUnstored(it.key());
        say(QStringLiteral("  消息%1的发送结果已补写入数据库").arg(it.key()));
        if (!ledgerSaved())
            return;
    }
    // Nothing kept any more: the lease may expire again, so another copy can take over a lost one.
    if (!kept.isEmpty() && m_ledger.unstored().isEmpty())
        m_ctx.lease->acquire(db);
}

// The batch is read a part at a time, so a batch of any size holds only one part in memory. Each
// part is posted to its end before the next is read: the rows it posted are marked by then and the
// next read cannot return them again.
void Batch::postPending(Database &db, int size)
{
    int left = size;
    while (left > 0 && !m_report.endedEarly) {
        const int part = std::min(left, kRowsPerRead);
        const std::vector<PendingRow> rows = readPending(db, part);
        postRows(db, rows);
        left -= int(rows.size());
        if (int(rows.size()) < part)
            return; // nothing more is pending
    }
}

// A part is read whole before its first post: SQL Server drivers allow no second statement on a
// connection while a result set is still open on it. Rows whose answer is kept but not stored yet
// are skipped, so as many as may be are fetched beyond the part's size.
std::vector<PendingRow> Batch::readPending(Database &db, int size)
{
    std::vector<PendingRow> rows;
    QSqlQuery query = db.exec(db.sql().pendingMessages, {size + int(m_ledger.unstored().size())});
    while (query.next() && int(rows.size()) < size) {
        PendingRow row{query.value(0), query.value(1), query.value(2)};
        if (!m_ledger.isUnstored(row.id.toString()))
            rows.push_back(std::move(row));
    }
    return rows;
}

// Up to postsInFlight posts on their way at once, never two to one follower: a follower's rows go
// in queue order, each after the answer to the one before, while other followers' rows go past.
// Each row is marked only after its own answer; once the batch ends, nothing more is posted but
// every answer already on its way is stored. The parameters are read again before every post. The
// read for the next post is done while the posts already sent wait for their answers, so it costs
// no time of its own.
void Batch::postRows(Database &db, const std::vector<PendingRow> &rows)
{
    std::vector<QString> followers;
    followers.reserve(rows.size());
    for (const PendingRow &row : rows)
        followers.push_back(followerOf(row.body));
    m_held.clear();
    size_t next = 0;
    bool loaded = false; // read since the last post
    // A database failure here ends the batch, but posts may be on their way: their answers must
    // still be stored, or their rows would be posted again.
    const std::function<bool()> load = [&] {
        try {
            LoadParameters(db, m_ctx.settings);
            m_report.parameters = m_ctx.settings;
            return loaded = true;
        } catch (const DbError &e) {
            return databaseFailed(e);
        }
    };
    for (;;) {
        // While a renewal waits, nothing new goes out: it would carry the refused token.
        while (!m_report.endedEarly && m_awaitingToken.empty()
               && int(m_inFlight.size()) < m_width) {
            const std::optional<size_t> index = nextRow(followers, next);
            if (!index)
                break;
            if (!mayPost(db, loaded, load))
                break;
            loaded = false;
            const PendingRow &row = rows[*index];
            int kind = 0;
            if (!refuseLocally(db, row, kind)) {
                submit({row.id.toString(), kind, row.body.toString(), m_token, followers[*index],
                        false});
                if (!followers[*index].isEmpty())
                    m_busy.insert(followers[*index]);
            }
        }
        if (m_inFlight.empty()) {
            // Every answer is read and stored: only now is the token renewed for the refused posts.
            if (!m_awaitingToken.empty()) {
                renewAndRepost();
                continue;
            }
            sayLateLines();
            return;
        }
        m_posts.send();
        sayLateLines();
        if (!m_report.endedEarly && m_awaitingToken.empty() && !loaded
            && (next < rows.size() || !m_held.empty()))
            load();
        for (const HttpMulti::Answer &answer : m_posts.wait(1000))
            settle(db, answer);
    }
}

// The next row that may go out: the first held row whose follower is free again, else the next row
// of the part whose follower has nothing on its way and nothing held before it.
std::optional<size_t> Batch::nextRow(const std::vector<QString> &followers, size_t &next)
{
    QSet<QString> heldFollowers;
    for (auto it = m_held.begin(); it != m_held.end(); ++it) {
        const QString &follower = followers[*it];
        if (!m_busy.contains(follower) && !heldFollowers.contains(follower)) {
            const size_t index = *it;
            m_held.erase(it);
            return index;
        }
        heldFollowers.insert(follower);
    }
    while (next < followers.size()) {
        const size_t index = next++;
        const QString &follower = followers[index];
        if (follower.isEmpty() || (!m_busy.contains(follower) && !heldFollowers.contains(follower)))
            return index;
        m_held.push_back(index);
        heldFollowers.insert(follower);
    }
    return std::nullopt;
}

// Before each post: not stopped, the lease still ours, the parameters read since the last post.
bool Batch::mayPost(Database &db, bool &loaded, const std::function<bool()> &load)
{
    if (m_ctx.abort && m_ctx.abort->load())
        return end(QStringLiteral("服务停止，其余消息保留待发"));
    bool renewed = false;
    try {
        renewed = m_ctx.lease->renewIfDue(db);
    } catch (const DbError &e) {
        return databaseFailed(e);
    }
    if (!renewed) {
        end(QStringLiteral("发送权已被另一个副本取得（%1），本批次结束")
                .arg(m_ctx.lease->holder()));
        say(QStringLiteral("  ") + m_report.failure);
        return false;
    }
    return loaded || load();
}

// True when the row cannot be posted at all; it then gets a local error text instead.
bool Batch::refuseLocally(Database &db, const PendingRow &row, int &kind)
{
    const QString id = row.id.toString();
    bool isNumber = false;
    kind = row.kind.toString().trimmed().toInt(&isNumber);
    QString refusal;
    if (row.body.isNull())
        refusal = QStringLiteral("本地错误：消息内容为空，未发送");
    else if (!isNumber || (kind != 1 && kind != 2))
        refusal = QStringLiteral("本地错误：消息类型“%1”不是1（模板消息）或2（客服消息），未发送")
                      .arg(row.kind.toString());
    else if (!validText(row.body))
        refusal = QStringLiteral("本地错误：消息内容不是有效的 UTF-8 文本，未发送");
    if (refusal.isEmpty())
        return false;
    if (!store(db, id, refusal))
        return !end(QStringLiteral("消息%1的本地错误未能写入数据库").arg(id));
    ++m_report.markedLocally;
    say(QStringLiteral("  消息%1未发送：").arg(id) + refusal);
    return true;
}

void Batch::submit(const InFlight &post)
{
    const qint64 tag = m_nextTag++;
    m_posts.start(quint64(tag), messageUrl(post.kind, post.token), true, post.body.toUtf8());
    m_inFlight.emplace(tag, post);
}

void Batch::settle(Database &db, const HttpMulti::Answer &reply)
{
    const auto found = m_inFlight.find(qint64(reply.tag));
    if (found == m_inFlight.end())
        return;
    const InFlight post = found->second;
    m_inFlight.erase(found);
    const QString &id = post.id;

    if (reply.failure == HttpMulti::Failure::NothingSent) {
        m_busy.remove(post.follower);
        // The message cannot have gone out: it stays pending and costs no try.
        say(QStringLiteral("  消息%1发送失败，保留待发，本批次结束：").arg(id)
            + logExcerpt(reply.error, kMaxLoggedAnswer));
        end(QStringLiteral("消息%1发送失败：").arg(id) + reply.error);
        return;
    }
    if (reply.failure != HttpMulti::Failure::None) {
        m_busy.remove(post.follower);
        // The message may have gone out: a try, so a post that always fails this way is given up.
        giveUpOrWait(db, id, QStringLiteral("已发出，未收到回答：") + reply.error);
        return;
    }
    const Verdict verdict = judge(reply.body, reply.status);
    if (verdict == Verdict::TokenRefused && !post.retried && !m_renewed) {
        // The follower stays busy: this row goes again before any later one of theirs.
        if (m_awaitingToken.empty())
            say(QStringLiteral("  ACCESS_TOKEN被拒绝，待其余消息的回答写入后重新获取：")
                + logExcerpt(reply.body, kMaxLoggedAnswer));
        m_awaitingToken.push_back(post);
        return;
    }
    m_busy.remove(post.follower);
    record(db, post, reply, verdict);
}

// Once per batch for all refused posts: every renewal spends the daily quota and knocks out the
// tokens other programs hold. It runs with nothing on its way, so no answer waits unread behind
// it, however long the token takes.
void Batch::renewAndRepost()
{
    std::vector<InFlight> refused;
    refused.swap(m_awaitingToken);
    const auto release = [&] {
        for (const InFlight &post : refused)
            m_busy.remove(post.follower);
    };
    QStringList ids;
    for (const InFlight &post : refused)
        ids << post.id;
    const QString rows = ids.join(QStringLiteral("、"));
    if (m_report.endedEarly) {
        release();
        return; // the batch already ended: the refused rows simply stay pending
    }
    if (m_ctx.abort && m_ctx.abort->load()) {
        release();
        end(QStringLiteral("服务停止，其余消息保留待发"));
        return;
    }
    m_renewed = true;
    say(QStringLiteral("  ACCESS_TOKEN被拒绝，重新获取后重发消息%1").arg(rows));
    try {
        m_token = GetAccessToken(m_ctx.settings, m_http, m_token);
        m_report.token = m_token;
    } catch (const std::exception &e) {
        release();
        say(QStringLiteral("  重新获取ACCESS_TOKEN失败，消息%1保留待发：").arg(rows)
            + logExcerpt(causeOf(e), kMaxLoggedAnswer));
        end(QStringLiteral("重新获取ACCESS_TOKEN失败：") + causeOf(e));
        return;
    }
    for (InFlight again : refused) {
        again.token = m_token;
        again.retried = true;
        submit(again);
    }
}

// Writes an answer back, or says why its row stays pending.
void Batch::record(Database &db, const InFlight &post, const HttpMulti::Answer &reply,
                   Verdict verdict)
{
    const QString &id = post.id;
    const QString &answer = reply.body;
    switch (verdict) {
    case Verdict::TokenRefused:
        say(QStringLiteral("  ACCESS_TOKEN仍被拒绝，消息%1保留待发，本批次结束：").arg(id)
            + logExcerpt(answer, kMaxLoggedAnswer));
        end(QStringLiteral("ACCESS_TOKEN被拒绝"));
        return;
    case Verdict::Quota:
        say(QStringLiteral("  公众号接口调用已达上限，消息%1保留待发，本批次结束：").arg(id)
            + logExcerpt(answer, kMaxLoggedAnswer));
        end(QStringLiteral("接口调用已达上限：") + logExcerpt(answer, 200));
        return;
    case Verdict::NotNow:
        giveUpOrWait(db, id,
                     reply.status >= 200 && reply.status <= 299
                         ? answer
                         : QStringLiteral("HTTP %1：%2").arg(reply.status).arg(answer));
        return;
    case Verdict::Final: break;
    }

    m_report.lastResult = storedAnswer(answer);
    m_lateLines.append(QStringLiteral("  发送结果：") + logExcerpt(answer, kMaxLoggedAnswer));
    if (!store(db, id, m_report.lastResult)) {
        // Posted and answered, but the database would not take the answer: keep it and write it
        // back first at the next batch. Posting the row again would deliver the message twice.
        m_ledger.keepUnstored(id, m_report.lastResult);
        ++m_report.unstored;
        if (ledgerSaved())
            holdLeaseWhileKept(db);
        end(QStringLiteral("消息%1的发送结果未能写入数据库，已保存待补写").arg(id));
        return;
    }
    m_ledger.forgetTries(id);
    ledgerSaved();
    ++m_report.posted;
    if (!accepted(answer))
        ++m_report.refused;
}

// A ledger that cannot be written would let a restart post its rows again: nothing more goes out.
bool Batch::ledgerSaved()
{
    if (m_ledger.saved())
        return true;
    const QString why = QStringLiteral("发送结果记录文件无法保存，本批次结束：") + m_ledger.error();
    say(QStringLiteral("  ") + why);
    return end(why);
}

// Other copies, in other folders or on other machines, cannot see this ledger: the lease they would
// need stays with this copy until the kept answers are written back.
void Batch::holdLeaseWhileKept(Database &db)
{
    try {
        m_ctx.lease->acquire(db);
    } catch (const DbError &e) {
        say(QStringLiteral("  发送权未能标记为保存着待补写的发送结果：") + causeOf(e));
    }
}

// A "not now" answer: the row waits for the next batch, unless it has had its tries.
bool Batch::giveUpOrWait(Database &db, const QString &id, const QString &why)
{
    const int tries = m_ledger.countTry(id);
    if (!ledgerSaved())
        return false;
    if (tries < kMaxTries) {
        say(QStringLiteral("  消息%1暂未发送成功（第%2次），保留待发，本批次结束：")
                .arg(id)
                .arg(tries)
            + logExcerpt(why, kMaxLoggedAnswer));
        return end(QStringLiteral("消息%1暂未发送成功：").arg(id) + logExcerpt(why, 200));
    }
    const QString text = storedAnswer(
        QStringLiteral("本地错误：已尝试%1次仍未发送成功，放弃发送；最后一次回答：").arg(tries)
        + why);
    if (!store(db, id, text))
        return end(QStringLiteral("消息%1的本地错误未能写入数据库").arg(id));
    m_ledger.forgetTries(id);
    ++m_report.markedLocally;
    say(QStringLiteral("  消息%1已放弃：").arg(id) + logExcerpt(text, kMaxLoggedAnswer));
    return ledgerSaved();
}

bool Batch::store(Database &db, const QString &id, const QString &text)
{
    try {
        db.execReused(db.sql().markSent, {text, id});
        return true;
    } catch (const DbError &e) {
        say(QStringLiteral("  消息%1的发送结果未能写入数据库：").arg(id) + causeOf(e));
        return false;
    }
}

} // namespace

int CountPending(Database &db)
{
    QSqlQuery count = db.exec(QStringLiteral("select count(*) from send_json where stat is null"));
    return count.next() ? count.value(0).toInt() : -1;
}

std::optional<int> postsInFlight(const QString &text)
{
    if (text.trimmed().isEmpty())
        return kDefaultPostsInFlight;
    const std::optional<int> number = wholeNumber(text);
    if (!number || *number < 1 || *number > kMaxPostsInFlight)
        return std::nullopt;
    return number;
}

QString storedAnswer(const QString &answer)
{
    if (answer.size() <= kMaxStoredAnswer)
        return answer;
    const QString mark = QStringLiteral("…（回答过长，已截断，共%1个字符）").arg(answer.size());
    // Cut, a WeChat answer would no longer be JSON, and a delivered message would read as failed:
    // its verdict is kept as a small object instead, with a note that the rest is gone.
    const auto object = LeadingJsonObject(answer);
    if (object && object->value(QStringLiteral("errcode")).isDouble()) {
        QJsonObject verdict;
        for (const char *key : {"errcode", "errmsg", "msgid"}) {
            const QString name = QLatin1String(key);
            const QJsonValue value = object->value(name);
            if (value.isString() && value.toString().size() > 1024)
                verdict.insert(name, value.toString().left(1024) + QStringLiteral("…"));
            else if (!value.isUndefined())
                verdict.insert(name, value);
        }
        verdict.insert(QStringLiteral("note"), mark.mid(1));
        return QString::fromUtf8(QJsonDocument(verdict).toJson(QJsonDocument::Compact));
    }
    return answer.left(kMaxStoredAnswer - mark.size()) + mark;
}

BatchReport RunSendBatch(BatchContext &context)
{
    // First of all: the ledger may be a new one, and the lease must never ask an old one.
    context.lease->keepAnswersOf(context.ledger);
    try {
        return Batch(context).run();
    } catch (const std::exception &e) {
        BatchReport report;
        report.failure = QStringLiteral("发送批次意外中止：") + causeOf(e);
        report.endedEarly = true;
        log(QStringLiteral("  ") + report.failure);
        return report;
    }
}

} // namespace veltrano
