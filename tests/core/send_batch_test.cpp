// One batch end to end: a real SQLite queue, the fake WeChat API over HTTP, and what gets stored.
#include "core/answer_ledger.h"
#include "core/database.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/send_batch.h"
#include "core/sender_lease.h"
#include "core/settings.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
#include "support/sqlite_queue.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

QByteArray templateBody(int n)
{
    return QStringLiteral(
               R"({"touser":"oUSER%1","template_id":"TPL","data":{"thing1":{"value":"订单%1"}}})")
        .arg(n)
        .toUtf8();
}

QByteArray customBody(int n)
{
    return QStringLiteral(R"({"touser":"oUSER%1","msgtype":"text","text":{"content":"您好 %1"}})")
        .arg(n)
        .toUtf8();
}

class SendBatch : public ::testing::Test {
protected:
    SendBatch() : api(fake)
    {
        queue.setParam("appid", "wxAPP");
        queue.setParam("appsecret", "SECRET");
        queue.setParam("temp", "10");
        fake.setCredentials("wxAPP", "SECRET");
        queue.load();
        // One post at a time unless a test says otherwise: each answer is in before the next post.
        setPostsInFlight("1");
        connect();
    }
    ~SendBatch() override { setPostsInFlight({}); }

    static void setPostsInFlight(const QString &value)
    {
        testsupport::liveSettings().update([&](Settings &s) { s.posts_in_flight = value; });
    }

    void connect()
    {
        QObject::connect(&Logger::instance(), &Logger::lineLogged, &receiver,
                         [this](const QDateTime &, const QString &line) { log << line; });
    }

    bool logged(const QString &start) const
    {
        for (const QString &line : log)
            if (line.startsWith(start))
                return true;
        return false;
    }

    testsupport::SqliteQueue queue;
    FakeWeChat fake;
    testsupport::ScopedApiBase api;
    QObject receiver;
    QStringList log;
};

} // namespace

TEST_F(SendBatch, PostsUpToTheBatchSizeAndStoresEachAnswer)
{
    std::vector<qlonglong> ids;
    for (int n = 0; n < 25; ++n)
        ids.push_back(queue.add(n % 5 == 4 ? customBody(n) : templateBody(n), n % 5 == 4 ? 2 : 1));

    BatchReport report;
    for (int expectedPending : {15, 5, 0}) {
        report = testsupport::runBatch();
        EXPECT_FALSE(report.endedEarly);
        EXPECT_EQ(queue.pending(), expectedPending);
    }
    EXPECT_EQ(fake.tokenCalls(), 1) << "the cached token serves the later batches";

    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 25u);
    for (const auto &send : sends) {
        EXPECT_EQ(send.token, fake.lastIssuedToken());
        const bool custom = QJsonDocument::fromJson(send.body).object().contains("msgtype");
        EXPECT_EQ(send.path,
                  custom ? "/cgi-bin/message/custom/send" : "/cgi-bin/message/template/send");
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        // Rows come in id order on SQLite, so the i-th send answered the i-th row.
        EXPECT_EQ(queue.stat(ids[i]).toString(), sends[i].answer);
        EXPECT_FALSE(queue.sendtime(ids[i]).isNull());
    }
    EXPECT_EQ(report.token, fake.lastIssuedToken());
    EXPECT_EQ(report.lastResult, sends.back().answer);
    EXPECT_EQ(log.count(QStringLiteral("  发送结果：") + sends.back().answer), 5);
}

TEST_F(SendBatch, NoPendingRowStillTakesTheTokenAndLogsNothing)
{
    testsupport::runBatch();
    EXPECT_EQ(fake.tokenCalls(), 1);
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(SendBatch, AnAnswerWithAnApostropheIsStored)
{
    fake.failNext("/cgi-bin/message/custom/send", -1,
                  FakeWeChat::Fault::
                      error(45015,
                            "response out of time limit or subscription is canceled, it's late"));
    const qlonglong id = queue.add(customBody(1), 2);
    testsupport::runBatch();
    EXPECT_TRUE(queue.stat(id).toString().contains("it's late"));
}

TEST_F(SendBatch, UnknownKindAndNullBodyAreMarkedLocallyNotPosted)
{
    const qlonglong bad = queue.add(templateBody(1), 3);
    const qlonglong empty = queue.add(QVariant(), 1);
    const qlonglong broken = queue.add(QByteArray("{\"touser\":\"o\xff\xfe\"}"), 1);
    const qlonglong good = queue.add(templateBody(2), 1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.markedLocally, 3);
    EXPECT_TRUE(queue.stat(broken).toString().contains("UTF-8"));
    EXPECT_EQ(report.posted, 1);
    EXPECT_EQ(fake.sendCount(), 1);
    EXPECT_TRUE(queue.stat(bad).toString().startsWith("本地错误"));
    EXPECT_TRUE(queue.stat(empty).toString().startsWith("本地错误"));
    EXPECT_NE(queue.stat(bad), queue.stat(good)) << "never another message's answer";
    EXPECT_EQ(queue.stat(good).toString(), fake.sends().at(0).answer);
}

TEST_F(SendBatch, TransportFailureLeavesTheRowPendingAndEndsTheBatch)
{
    const qlonglong first = queue.add(templateBody(1), 1);
    const qlonglong second = queue.add(templateBody(2), 1);
    const qlonglong third = queue.add(templateBody(3), 1);
    fake.failNext("/cgi-bin/message/template/send", 1, FakeWeChat::Fault::drop());
    queue.load();
    testsupport::runBatch(); // token first, then the first post drops
    EXPECT_TRUE(queue.stat(first).isNull());
    EXPECT_TRUE(queue.stat(second).isNull());
    EXPECT_TRUE(queue.stat(third).isNull());
    EXPECT_EQ(fake.sendCount(), 1);
    EXPECT_TRUE(logged("  消息")) << log.join('\n').toStdString();

    testsupport::runBatch();
    EXPECT_EQ(queue.pending(), 0);
}

TEST_F(SendBatch, AnEmptyAppidIsNamedAsTheCause)
{
    queue.setParam("appid", "");
    queue.load();
    queue.add(templateBody(1), 1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_FALSE(report.ran);
    EXPECT_TRUE(report.failure.endsWith("appid 为空")) << report.failure.toStdString();
    EXPECT_EQ(fake.tokenCalls(), 0);
}

// Mode 3: the stable token serves the batch, and another program's /cgi-bin/token exchange in the
// middle of it does not disturb it.
TEST_F(SendBatch, TheStableTokenIsNotDisturbedByAnotherProgramsExchange)
{
    queue.setParam("get_token_mod", "3");
    queue.load();
    fake.setStaleOnIssue(true);
    fake.setLatency(30);
    for (int n = 0; n < 6; ++n)
        queue.add(templateBody(n), 1);
    QFuture<void> other = QtConcurrent::run([this] {
        QThread::msleep(80);
        HttpClient http;
        http.Post(fake.base()
                  + "/cgi-bin/token?grant_type=client_credential&appid=wxAPP&secret=SECRET");
    });
    const BatchReport report = testsupport::runBatch();
    other.waitForFinished();
    EXPECT_EQ(report.posted, 6);
    EXPECT_EQ(fake.stableTokenCalls(), 1);
    EXPECT_EQ(fake.tokenCalls(), 1) << "only the other program's exchange";
    for (const auto &send : fake.sends())
        EXPECT_EQ(send.token, fake.stableToken());
}

TEST_F(SendBatch, ATokenThatCannotBeHadSkipsTheBatch)
{
    fake.failNext("/cgi-bin/token", -1, FakeWeChat::Fault::error(40013, "invalid appid"));
    queue.add(templateBody(1), 1);
    testsupport::runBatch();
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_EQ(queue.pending(), 1);
    EXPECT_TRUE(logged("  获取ACCESS_TOKEN失败")) << log.join('\n').toStdString();
}

TEST_F(SendBatch, ABatchSizeThatIsNotAWholeNumberRunsNoBatch)
{
    queue.add(templateBody(1), 1);
    for (const char *bad : {"", "ten", "2.5", "-1"}) {
        testsupport::liveSettings().update([&](Settings &s) { s.temp = bad; });
        testsupport::runBatch();
    }
    EXPECT_EQ(fake.tokenCalls(), 0);
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_EQ(log.size(), 4);
}

TEST_F(SendBatch, ARefusedTokenIsRenewedOnceAndTheRowPostedAgain)
{
    const qlonglong id = queue.add(templateBody(1), 1);
    const qlonglong next = queue.add(customBody(2), 2);
    testsupport::runBatch(); // caches a token and sends both
    const qlonglong late = queue.add(templateBody(3), 1);
    fake.refuseCurrentTokenOnce(); // another program took a newer token meanwhile
    queue.load();
    const BatchReport report = testsupport::runBatch();

    EXPECT_EQ(fake.tokenCalls(), 2);
    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_TRUE(sends[2].answer.contains("40001"));
    EXPECT_EQ(sends[3].token, fake.lastIssuedToken());
    EXPECT_EQ(queue.stat(late).toString(), sends[3].answer);
    EXPECT_TRUE(queue.stat(late).toString().contains("\"errcode\":0"));
    EXPECT_EQ(report.token, fake.lastIssuedToken());
    EXPECT_FALSE(queue.stat(id).isNull());
    EXPECT_FALSE(queue.stat(next).isNull());
}

TEST_F(SendBatch, ATokenRefusedOnEveryRowIsRenewedOncePerBatch)
{
    fake.failNext("/cgi-bin/message/template/send", -1,
                  FakeWeChat::Fault::
                      error(40001, "invalid credential, access_token is invalid or not latest"));
    const qlonglong first = queue.add(templateBody(1), 1);
    queue.add(templateBody(2), 1);
    queue.add(templateBody(3), 1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_EQ(fake.tokenCalls(), 2) << "the first token and one renewal, never one per row";
    EXPECT_EQ(fake.sendCount(), 2)
        << "the row is posted once more with the new token, then the batch ends";
    EXPECT_EQ(queue.pending(), 3) << "a refused token is no answer to the message";
    EXPECT_TRUE(queue.stat(first).isNull());
}

TEST_F(SendBatch, AnswersThatSayNotNowLeaveTheRowPending)
{
    const qlonglong id = queue.add(templateBody(1), 1);
    queue.add(templateBody(2), 1);
    const auto path = QStringLiteral("/cgi-bin/message/template/send");
    fake.failNext(path, 1, FakeWeChat::Fault::error(45009, "reach max api daily quota limit"));
    fake.failNext(path, 1, FakeWeChat::Fault::error(45011, "api minute-quota reach limit"));
    fake.failNext(path, 1, FakeWeChat::Fault::serverError());
    for (int batch = 1; batch <= 3; ++batch) {
        const BatchReport report = testsupport::runBatch();
        EXPECT_TRUE(report.endedEarly);
        EXPECT_EQ(fake.sendCount(), batch) << "the batch ends at the first such answer";
        EXPECT_EQ(queue.pending(), 2);
    }
    testsupport::runBatch();
    EXPECT_EQ(queue.pending(), 0);
    EXPECT_TRUE(queue.stat(id).toString().contains("\"errcode\":0"));
}

TEST_F(SendBatch, ARowThatIsNeverAcceptedIsGivenUpAfterFiveTries)
{
    const qlonglong poison = queue.add(templateBody(1), 1);
    const qlonglong next = queue.add(templateBody(2), 1);
    fake.failNext("/cgi-bin/message/template/send", kMaxTries, FakeWeChat::Fault::busy());
    for (int batch = 1; batch < kMaxTries; ++batch)
        testsupport::runBatch();
    EXPECT_TRUE(queue.stat(poison).isNull());
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.markedLocally, 1);
    EXPECT_TRUE(queue.stat(poison).toString().startsWith("本地错误"));
    EXPECT_TRUE(queue.stat(poison).toString().contains("system error"))
        << "it names the last answer";
    EXPECT_TRUE(queue.stat(next).toString().contains("\"errcode\":0")) << "the queue moves on";
    EXPECT_EQ(fake.sendCount(), kMaxTries + 1);
}

TEST_F(SendBatch, AnAnswerIsStoredAndLoggedBoundedOnOneLine)
{
    const QString huge =
        QStringLiteral("first line\n  发送结果：forged") + QString(200 * 1024, u'x');
    fake.failNext("/cgi-bin/message/template/send", -1, FakeWeChat::Fault::error(48001, huge));
    const qlonglong id = queue.add(templateBody(1), 1);
    testsupport::runBatch();
    const QString stored = queue.stat(id).toString();
    EXPECT_LE(stored.size(), kMaxStoredAnswer);
    // Cut, it still reads as WeChat's verdict, with a visible note.
    const auto verdict = ParseJson(stored);
    ASSERT_TRUE(verdict) << stored.left(200).toStdString();
    EXPECT_EQ(verdict->value("errcode").toInt(), 48001);
    EXPECT_TRUE(verdict->value("errmsg").toString().startsWith("first line\n"));
    EXPECT_TRUE(verdict->value("note").toString().endsWith("个字符）"));
    for (const QString &line : log) {
        EXPECT_FALSE(line.contains(u'\n'));
        EXPECT_LT(line.size(), kMaxLoggedAnswer + 100);
    }
    EXPECT_EQ(log.filter("发送结果：").size(), 1) << "no forged line";
}

TEST_F(SendBatch, APostThatGoesOutAndIsNeverAnsweredIsGivenUpAfterFiveTries)
{
    const qlonglong lost = queue.add(templateBody(1), 1);
    const qlonglong next = queue.add(templateBody(2), 1);
    fake.failNext("/cgi-bin/message/template/send", kMaxTries, FakeWeChat::Fault::closeAfterBody());
    for (int batch = 1; batch <= kMaxTries; ++batch)
        testsupport::runBatch();
    EXPECT_TRUE(queue.stat(lost).toString().startsWith("本地错误"))
        << queue.stat(lost).toString().toStdString();
    EXPECT_TRUE(queue.stat(next).toString().contains("\"errcode\":0")) << "the queue moves on";
    EXPECT_EQ(fake.sendCount(), kMaxTries + 1);
}

TEST_F(SendBatch, AnAcceptedAnswerWithStrayBytesAfterItIsDelivered)
{
    const qlonglong id = queue.add(templateBody(1), 1);
    fake.failNext("/cgi-bin/message/template/send", 1,
                  FakeWeChat::Fault::strayBytes("\r\n<!-- cache -->"));
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.posted, 1);
    EXPECT_EQ(report.refused, 0);
    EXPECT_TRUE(queue.stat(id).toString().startsWith("{\"errcode\":0,"));
    EXPECT_EQ(fake.sendCount(), 1);
}

TEST_F(SendBatch, WeChatBusyLeavesTheRowPendingAndEndsTheBatch)
{
    const qlonglong first = queue.add(templateBody(1), 1);
    queue.add(templateBody(2), 1);
    fake.failNext("/cgi-bin/message/template/send", 1, FakeWeChat::Fault::busy());
    testsupport::runBatch();
    EXPECT_EQ(fake.sendCount(), 1);
    EXPECT_EQ(queue.pending(), 2);
    EXPECT_TRUE(queue.stat(first).isNull());
    testsupport::runBatch();
    EXPECT_EQ(queue.pending(), 0);
}

// The answer the database would not take is kept, also across a restart (each RunSendBatch reads
// the ledger file anew), written back once the database takes it, and the row is never posted
// again.
TEST_F(SendBatch, AnAnswerThatCannotBeStoredIsKeptNotPostedAgain)
{
    const qlonglong first = queue.add(templateBody(1), 1);
    const qlonglong second = queue.add(templateBody(2), 1);
    const qlonglong third = queue.add(templateBody(3), 1);
    auto refuse = [&](bool on) {
        Database db(queue.connection());
        db.exec(
            on ? QStringLiteral("create trigger refuse before update on tempmsg when new.id = %1 "
                                "begin select raise(abort, 'disk full'); end")
                     .arg(second)
               : QStringLiteral("drop trigger refuse"));
    };
    refuse(true);
    const BatchReport report = testsupport::runBatch();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_EQ(report.unstored, 1);
    EXPECT_EQ(fake.sendCount(), 2) << "nothing more is posted once an answer could not be stored";
    EXPECT_FALSE(queue.stat(first).isNull());
    EXPECT_TRUE(queue.stat(second).isNull());
    EXPECT_TRUE(logged("  发送结果：")) << "the answer of the unrecorded post is still logged";

    testsupport::runBatch(); // the trigger still refuses: the rows behind move on
    EXPECT_EQ(fake.sendCount(), 3);
    EXPECT_FALSE(queue.stat(third).isNull());
    EXPECT_TRUE(queue.stat(second).isNull());

    refuse(false);
    testsupport::runBatch();
    EXPECT_EQ(fake.sendCount(), 3) << "the kept answer is written back, never posted again";
    EXPECT_EQ(queue.stat(second).toString(), fake.sends().at(1).answer);
}

TEST_F(SendBatch, ParametersAreReloadedBeforeEveryRow)
{
    queue.add(templateBody(1), 1);
    queue.setParam("temp_timer", "7");
    testsupport::runBatch();
    EXPECT_EQ(testsupport::liveSettings().snapshot().temp_timer, "7");
}

class SendBatchInFlight : public SendBatch {
protected:
    SendBatchInFlight()
    {
        setPostsInFlight("8");
        fake.setLatency(20);
    }

    // The answer the fake gave to the post of this body (the latest, if posted more than once).
    QString answerFor(const QByteArray &body) const
    {
        QString answer;
        for (const auto &send : fake.sends())
            if (send.body == body)
                answer = send.answer;
        return answer;
    }
};

TEST_F(SendBatchInFlight, EachRowGetsItsOwnAnswer)
{
    std::vector<std::pair<qlonglong, QByteArray>> rows;
    for (int n = 0; n < 10; ++n)
        rows.emplace_back(queue.add(templateBody(n), 1), templateBody(n));
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.posted, 10);
    EXPECT_EQ(fake.sendCount(), 10);
    for (const auto &[id, body] : rows)
        EXPECT_EQ(queue.stat(id).toString(), answerFor(body));
}

// The rows are read a part at a time; rows still on their way when a part ends must not be read
// and posted again with the next part.
TEST_F(SendBatchInFlight, ABatchLargerThanOneReadPostsEveryRowOnce)
{
    const int rows = kRowsPerRead + 44;
    for (int n = 0; n < rows; ++n)
        queue.add(templateBody(n), 1);
    queue.setParam("temp", QString::number(rows - 1));
    queue.load();
    fake.setLatency(1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.posted, rows - 1);
    EXPECT_EQ(fake.sendCount(), rows - 1);
    QSet<QByteArray> bodies;
    for (const auto &send : fake.sends())
        bodies.insert(send.body);
    EXPECT_EQ(bodies.size(), rows - 1);
    EXPECT_EQ(queue.pending(), 1);
}

// The parameters are read while a post is on its way; when that read fails, the batch ends but the
// answer on its way is still stored: its row must not be posted again.
TEST_F(SendBatch, ADatabaseFailureWhileAPostIsOnItsWayStillStoresItsAnswer)
{
    std::vector<qlonglong> ids;
    for (int n = 0; n < 3; ++n)
        ids.push_back(queue.add(templateBody(n), 1));
    fake.setLatency(100);
    auto breaker = QtConcurrent::run([this] {
        while (fake.requestCount("/cgi-bin/message/template/send") == 0)
            QThread::msleep(1);
        Database db(queue.connection());
        db.exec(QStringLiteral("alter table sysParam rename to sysParam_gone"));
    });
    const BatchReport report = testsupport::runBatch();
    breaker.waitForFinished();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_TRUE(report.failure.startsWith("数据库操作失败")) << report.failure.toStdString();
    // Counted as they arrive: a post whose answer the batch did not wait for counts too.
    const int posted = fake.requestCount("/cgi-bin/message/template/send");
    ASSERT_GE(posted, 1);
    for (int n = 0; n < posted; ++n)
        EXPECT_FALSE(queue.stat(ids[size_t(n)]).isNull()) << "row " << n << " was posted";
    EXPECT_EQ(queue.pending(), 3 - posted);
}

TEST_F(SendBatchInFlight, BusyEndsTheBatchOnceThePostsOnTheirWayAreStored)
{
    for (int n = 0; n < 12; ++n)
        queue.add(templateBody(n), 1);
    fake.failNext("/cgi-bin/message/template/send", 1, FakeWeChat::Fault::busy());
    const BatchReport report = testsupport::runBatch();
    EXPECT_TRUE(report.endedEarly);
    // Posts that were answered before the busy answer came back made room for others; after it,
    // nothing more went out, and every other answer on its way was stored.
    EXPECT_LT(fake.sendCount(), 12);
    EXPECT_EQ(report.posted, fake.sendCount() - 1);
    EXPECT_EQ(queue.pending(), 12 - report.posted);
}

TEST_F(SendBatchInFlight, ARefusedTokenIsRenewedOnceForAllPostsOnTheirWay)
{
    queue.add(templateBody(100), 1);
    testsupport::runBatch(); // caches a token
    for (int n = 0; n < 8; ++n)
        queue.add(templateBody(n), 1);
    fake.refuseCurrentTokenOnce();
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(fake.tokenCalls(), 2);
    EXPECT_EQ(report.posted, 8);
    EXPECT_EQ(queue.pending(), 0);
}

// A post refused for its token while others are on their way: their answers are read and stored
// before the renewal, however long the token takes, and only the refused row goes again.
TEST_F(SendBatchInFlight, ARenewalWaitsUntilTheAnswersOnTheirWayAreStored)
{
    queue.add(templateBody(100), 1);
    testsupport::runBatch(); // caches a token
    for (int n = 0; n < 8; ++n)
        queue.add(templateBody(n), 1);
    fake.failNext("/cgi-bin/message/template/send", 1,
                  FakeWeChat::Fault::error(40001, "invalid credential"));
    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::delay(600));
    auto watcher = QtConcurrent::run([this] {
        while (fake.tokenCalls() < 2)
            QThread::msleep(1);
        return queue.pending();
    });
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(watcher.result(), 1) << "only the refused row is unstored while the token is renewed";
    EXPECT_EQ(report.posted, 8);
    EXPECT_EQ(fake.sendCount(), 1 + 8 + 1);
    EXPECT_EQ(queue.pending(), 0);
}

// Never two posts to one follower on their way: after a busy answer to a follower's first message,
// the second has not gone out, and the next batch sends them in queue order.
TEST_F(SendBatchInFlight, AFollowersMessagesGoOneAfterTheOther)
{
    const auto bodyFor = [](const QString &follower, int n) {
        return QStringLiteral(R"({"touser":"%1","template_id":"TPL","data":{"n":{"value":"%2"}}})")
            .arg(follower)
            .arg(n)
            .toUtf8();
    };
    queue.add(bodyFor("oA", 1), 1);
    queue.add(bodyFor("oA", 2), 1);
    fake.failNext("/cgi-bin/message/template/send", 1, FakeWeChat::Fault::busy());
    testsupport::runBatch();
    EXPECT_TRUE(answerFor(bodyFor("oA", 2)).isEmpty())
        << "oA's second message went out beside its first";

    testsupport::runBatch();
    QStringList order;
    for (const auto &send : fake.sends())
        if (send.body.contains("\"oA\""))
            order << QString::fromUtf8(send.body);
    EXPECT_EQ(order,
              QStringList({QString::fromUtf8(bodyFor("oA", 1)), QString::fromUtf8(bodyFor("oA", 1)),
                           QString::fromUtf8(bodyFor("oA", 2))}));
    EXPECT_EQ(queue.pending(), 0);
}

namespace {
// One copy of the program: its own ledger file and its own lease, on the shared queue.
struct Copy {
    explicit Copy(const QString &ledgerName)
        : ledger(QDir(applicationFolder()).filePath(ledgerName), QStringLiteral("queue"))
    {}
    BatchReport run()
    {
        BatchContext context{testsupport::liveSettings().snapshot(), &ledger, &lease, nullptr, 1};
        return RunSendBatch(context);
    }
    void stop()
    {
        Database db(testsupport::liveSettings().snapshot());
        lease.release(db);
    }
    AnswerLedger ledger;
    SenderLease lease;
};

void refuseStat(const testsupport::SqliteQueue &queue, qlonglong id, bool on)
{
    Database db(queue.connection());
    db.exec(on ? QStringLiteral("create trigger refuse before update on tempmsg when new.id = %1 "
                                "begin select raise(abort, 'disk full'); end")
                     .arg(id)
               : QStringLiteral("drop trigger refuse"));
}
} // namespace

// Copy A keeps an answer its database refused and stops; copy B, with a ledger of its own, must not
// post that row again. A, restarted, takes its lease back, writes the answer and lets B in.
TEST_F(SendBatch, AKeptAnswerHoldsTheQueueForTheCopyThatKeepsIt)
{
    queue.add(templateBody(1), 1);
    const qlonglong kept = queue.add(templateBody(2), 1);
    queue.add(templateBody(3), 1);
    refuseStat(queue, kept, true);
    {
        Copy a(QStringLiteral("a-ledger.json"));
        EXPECT_EQ(a.run().unstored, 1);
        a.stop();
    }
    Copy b(QStringLiteral("b-ledger.json"));
    const BatchReport skipped = b.run();
    EXPECT_FALSE(skipped.ran);
    EXPECT_TRUE(skipped.failure.contains("保存着未写入数据库的发送结果"))
        << skipped.failure.toStdString();
    EXPECT_EQ(fake.sendCount(), 2);

    refuseStat(queue, kept, false);
    {
        Copy a(QStringLiteral("a-ledger.json")); // after a restart
        EXPECT_TRUE(a.run().ran);
        EXPECT_EQ(queue.stat(kept).toString(), fake.sends().at(1).answer);
        a.stop();
    }
    queue.add(templateBody(4), 1);
    EXPECT_TRUE(b.run().ran);
    EXPECT_EQ(fake.sendCount(), 4);
    EXPECT_EQ(queue.pending(), 0);
}

// A ledger that cannot be written or read is never taken for an empty one.
TEST_F(SendBatch, ALedgerThatCannotBeSavedOrReadEndsTheBatch)
{
    const QString blocker = QDir(applicationFolder()).filePath(QStringLiteral("not-a-folder"));
    QFile(blocker).open(QIODevice::WriteOnly);
    const qlonglong first = queue.add(templateBody(1), 1);
    refuseStat(queue, first, true);
    Copy unwritable(QStringLiteral("not-a-folder/answer-ledger.json"));
    const BatchReport ended = unwritable.run();
    EXPECT_TRUE(ended.failure.contains("not-a-folder")) << ended.failure.toStdString();
    EXPECT_TRUE(logged("  发送结果记录文件无法保存，本批次结束："));

    const QString empty = QDir(applicationFolder()).filePath(QStringLiteral("empty-ledger.json"));
    QFile(empty).open(QIODevice::WriteOnly);
    Copy unreadable(QStringLiteral("empty-ledger.json"));
    unwritable.lease.release(*std::make_unique<Database>(queue.connection()));
    const BatchReport skipped = unreadable.run();
    EXPECT_FALSE(skipped.ran);
    EXPECT_TRUE(skipped.failure.contains("empty-ledger.json")) << skipped.failure.toStdString();
    EXPECT_EQ(fake.sendCount(), 1);
}

// A copy that stopped renewing its lease is replaced with a line that names it.
TEST_F(SendBatch, ATakeoverAfterTheLeaseExpiredIsLogged)
{
    Database db(queue.connection());
    SenderLease lost, next;
    ASSERT_TRUE(lost.acquire(db));
    EXPECT_FALSE(next.acquire(db));
    db.exec(QStringLiteral(
        "update sysParam set ParamValue='2000-01-01 00:00:00' || substr(ParamValue, 20) "
        "where ParamName='send_lock'"));
    EXPECT_TRUE(next.acquire(db));
    EXPECT_TRUE(logged("  发送权的租约已过期（主机 ")) << log.join('\n').toStdString();
}
