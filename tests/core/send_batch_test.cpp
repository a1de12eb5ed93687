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
#include "support/log_lines.h"
#include "support/sqlite_queue.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

const QString kTemplateSend = QStringLiteral("/cgi-bin/message/template/send");

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
    }
    ~SendBatch() override { setPostsInFlight({}); }

    static void setPostsInFlight(const QString &value)
    {
        testsupport::liveSettings().update([&](Settings &s) { s.posts_in_flight = value; });
    }

    bool logged(const QString &start) const
    {
        return std::ranges::any_of(log,
                                   [&](const QString &line) { return line.startsWith(start); });
    }

    // Queues `count` template messages numbered from `first`; returns their ids.
    std::vector<qlonglong> addTemplates(int count, int first = 0)
    {
        std::vector<qlonglong> ids;
        for (int n = first; n < first + count; ++n)
            ids.push_back(queue.add(templateBody(n), 1));
        return ids;
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

    testsupport::SqliteQueue queue;
    FakeWeChat fake;
    testsupport::ScopedApiBase api;
    QStringList log;
    std::unique_ptr<QObject> logging = testsupport::collectLogLines(log);
};

class SendBatchInFlight : public SendBatch {
protected:
    SendBatchInFlight()
    {
        setPostsInFlight("8");
        fake.setLatency(20);
    }
};

} // namespace

// An empty queue still takes the token and logs nothing; then batches of `temp` rows, each posted
// by its kind with the cached token, each answer stored on its own row and logged, and the
// parameters read during the batch handed back.
TEST_F(SendBatch, PostsUpToTheBatchSizeAndStoresEachAnswer)
{
    testsupport::runBatch();
    EXPECT_EQ(fake.tokenCalls(), 1);
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_TRUE(log.isEmpty());

    std::vector<qlonglong> ids;
    for (int n = 0; n < 25; ++n)
        ids.push_back(queue.add(n % 5 == 4 ? customBody(n) : templateBody(n), n % 5 == 4 ? 2 : 1));
    queue.setParam("temp_timer", "7");

    BatchReport report;
    for (int expectedPending : {15, 5, 0}) {
        report = testsupport::runBatch();
        EXPECT_FALSE(report.endedEarly);
        EXPECT_EQ(queue.pending(), expectedPending);
    }
    EXPECT_EQ(fake.tokenCalls(), 1) << "the cached token serves the later batches";
    EXPECT_EQ(testsupport::liveSettings().snapshot().temp_timer, "7");

    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 25u);
    for (size_t i = 0; i < ids.size(); ++i) {
        // Rows come in id order on SQLite, so the i-th send answered the i-th row.
        EXPECT_EQ(sends[i].path, i % 5 == 4 ? "/cgi-bin/message/custom/send" : kTemplateSend);
        EXPECT_EQ(sends[i].token, fake.lastIssuedToken());
        EXPECT_EQ(queue.stat(ids[i]).toString(), sends[i].answer);
        EXPECT_FALSE(queue.sendtime(ids[i]).isNull());
    }
    EXPECT_EQ(report.token, fake.lastIssuedToken());
    EXPECT_EQ(report.lastResult, sends.back().answer);
    EXPECT_EQ(log.count(QStringLiteral("  发送结果：") + sends.back().answer), 5);
}

// A batch size that is no whole number, an empty appid or a token that cannot be had: nothing is
// posted, and the one line logged names the cause.
TEST_F(SendBatch, ABatchThatCannotRunPostsNothingAndSaysWhy)
{
    queue.add(templateBody(1), 1);
    const struct {
        const char *temp;
        const char *appid;
        bool tokenRefused;
        QString cause;
    } cases[] = {
        {"", "wxAPP", false, "（temp）“”"},       {"ten", "wxAPP", false, "（temp）“ten”"},
        {"2.5", "wxAPP", false, "（temp）“2.5”"}, {"-1", "wxAPP", false, "（temp）“-1”"},
        {"10", "", false, "appid 为空"},          {"10", "wxAPP", true, "获取ACCESS_TOKEN失败"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cause.toStdString());
        queue.setParam("temp", c.temp);
        queue.setParam("appid", c.appid);
        if (c.tokenRefused)
            fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::error(40013, "invalid appid"));
        log.clear();
        const int calls = fake.tokenCalls();
        const BatchReport report = testsupport::runBatch();
        EXPECT_FALSE(report.ran);
        EXPECT_TRUE(report.failure.contains(c.cause)) << report.failure.toStdString();
        EXPECT_EQ(log, QStringList{QStringLiteral("  ") + report.failure});
        EXPECT_EQ(fake.tokenCalls() - calls, c.tokenRefused ? 1 : 0);
    }
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_EQ(queue.pending(), 1);
}

TEST_F(SendBatch, UnknownKindAndNullBodyAreMarkedLocallyNotPosted)
{
    const qlonglong bad = queue.add(templateBody(1), 3);
    const qlonglong empty = queue.add(QVariant(), 1);
    const qlonglong broken = queue.add(QByteArray("{\"touser\":\"o\xff\xfe\"}"), 1);
    const qlonglong good = queue.add(templateBody(2), 1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.markedLocally, 3);
    EXPECT_EQ(report.posted, 1);
    for (const qlonglong id : {bad, empty, broken})
        EXPECT_TRUE(queue.stat(id).toString().startsWith("本地错误")) << id;
    EXPECT_TRUE(queue.stat(broken).toString().contains("UTF-8"));
    ASSERT_EQ(fake.sendCount(), 1);
    EXPECT_EQ(queue.stat(good).toString(), fake.sends().at(0).answer) << "its own answer";
}

// In mode 3 the batch posts with the stable token and never exchanges at /cgi-bin/token, which
// would knock out the tokens of the account's other programs.
TEST_F(SendBatch, InStableModeTheBatchPostsWithTheStableToken)
{
    queue.setParam("get_token_mod", "3");
    queue.load();
    queue.add(templateBody(1), 1);
    queue.add(customBody(2), 2);
    EXPECT_EQ(testsupport::runBatch().posted, 2);
    EXPECT_EQ(fake.stableTokenCalls(), 1);
    EXPECT_EQ(fake.tokenCalls(), 0);
    for (const auto &send : fake.sends())
        EXPECT_EQ(send.token, fake.stableToken());
}

// A post cut off before it was whole, busy, the daily or minute quota, a server error: the row
// stays pending and the batch ends at once. The next batch delivers it, though stray bytes follow
// the accepting answer: taken for anything else, the message would be posted again.
TEST_F(SendBatch, AnswersThatSayNotNowLeaveTheRowPendingAndEndTheBatch)
{
    const qlonglong id = queue.add(templateBody(1), 1);
    queue.add(templateBody(2), 1);
    const FakeWeChat::Fault faults[] = {
        FakeWeChat::Fault::drop(),
        FakeWeChat::Fault::busy(),
        FakeWeChat::Fault::error(45009, "reach max api daily quota limit"),
        FakeWeChat::Fault::error(45011, "api minute-quota reach limit"),
        FakeWeChat::Fault::serverError(),
    };
    for (const auto &fault : faults)
        fake.failNext(kTemplateSend, 1, fault);
    for (int batch = 1; batch <= int(std::size(faults)); ++batch) {
        const BatchReport report = testsupport::runBatch();
        EXPECT_TRUE(report.endedEarly) << batch;
        EXPECT_EQ(fake.sendCount(), batch) << "the batch ends at the first such answer";
        EXPECT_EQ(queue.pending(), 2) << batch;
    }
    fake.failNext(kTemplateSend, 1, FakeWeChat::Fault::strayBytes("\r\n<!-- cache -->"));
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.posted, 2);
    EXPECT_EQ(report.refused, 0);
    EXPECT_EQ(queue.pending(), 0);
    EXPECT_TRUE(queue.stat(id).toString().startsWith("{\"errcode\":0,"));
}

// A row that is answered "busy" every time, or whose post goes out and is never answered, is given
// up after five tries with a local error naming the last answer; the queue moves on.
TEST_F(SendBatch, ARowThatNeverGoesThroughIsGivenUpAfterFiveTries)
{
    const struct {
        FakeWeChat::Fault fault;
        const char *lastAnswer;
    } cases[] = {
        {FakeWeChat::Fault::busy(), "system error"},
        {FakeWeChat::Fault::closeAfterBody(), "未收到回答"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lastAnswer);
        const int sent = fake.sendCount();
        const qlonglong poison = queue.add(templateBody(1), 1);
        const qlonglong next = queue.add(templateBody(2), 1);
        fake.failNext(kTemplateSend, kMaxTries, c.fault);
        for (int batch = 1; batch < kMaxTries; ++batch)
            testsupport::runBatch();
        EXPECT_TRUE(queue.stat(poison).isNull());
        EXPECT_EQ(testsupport::runBatch().markedLocally, 1);
        const QString stored = queue.stat(poison).toString();
        EXPECT_TRUE(stored.startsWith("本地错误")) << stored.toStdString();
        EXPECT_TRUE(stored.contains(c.lastAnswer)) << stored.toStdString();
        EXPECT_TRUE(queue.stat(next).toString().contains("\"errcode\":0"));
        EXPECT_EQ(fake.sendCount() - sent, kMaxTries + 1);
    }
}

// A huge answer with an apostrophe, a line break and a forged log line in it: stored cut but still
// WeChat's verdict, logged on one bounded line.
TEST_F(SendBatch, AnAnswerIsStoredAndLoggedBoundedOnOneLine)
{
    const QString huge =
        QStringLiteral("it's the first line\n  发送结果：forged") + QString(200 * 1024, u'x');
    fake.failNext(kTemplateSend, -1, FakeWeChat::Fault::error(48001, huge));
    const qlonglong id = queue.add(templateBody(1), 1);
    testsupport::runBatch();
    const QString stored = queue.stat(id).toString();
    EXPECT_LE(stored.size(), kMaxStoredAnswer);
    const auto verdict = ParseJson(stored);
    ASSERT_TRUE(verdict) << stored.left(200).toStdString();
    EXPECT_EQ(verdict->value("errcode").toInt(), 48001);
    EXPECT_TRUE(verdict->value("errmsg").toString().startsWith("it's the first line\n"));
    EXPECT_TRUE(verdict->value("note").toString().endsWith("个字符）"));
    for (const QString &line : log) {
        EXPECT_FALSE(line.contains(u'\n'));
        EXPECT_LT(line.size(), kMaxLoggedAnswer + 100);
    }
    EXPECT_EQ(log.filter("发送结果：").size(), 1) << "no forged line";
}

// The answer the database would not take is kept in the copy's ledger file and holds the lease:
// the rows behind it move on, another copy with a ledger of its own must not post that row again,
// and the copy that keeps it, restarted, writes it back once the database takes it and lets the
// other in. The row is never posted twice.
TEST_F(SendBatch, AnAnswerThatCannotBeStoredIsKeptAndHoldsTheQueue)
{
    const qlonglong first = queue.add(templateBody(1), 1);
    const qlonglong kept = queue.add(templateBody(2), 1);
    const qlonglong third = queue.add(templateBody(3), 1);
    const auto restartA = [] {
        Copy a(QStringLiteral("a-ledger.json"));
        const BatchReport report = a.run();
        a.stop();
        return report;
    };
    queue.refuseStat(kept, true);
    const BatchReport report = restartA();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_EQ(report.unstored, 1);
    EXPECT_EQ(fake.sendCount(), 2) << "nothing more is posted once an answer could not be stored";
    EXPECT_FALSE(queue.stat(first).isNull());
    EXPECT_TRUE(queue.stat(kept).isNull());
    EXPECT_TRUE(logged("  发送结果：")) << "the answer of the unrecorded post is still logged";

    restartA(); // the trigger still refuses: the rows behind move on
    EXPECT_EQ(fake.sendCount(), 3);
    EXPECT_FALSE(queue.stat(third).isNull());
    EXPECT_TRUE(queue.stat(kept).isNull());

    Copy b(QStringLiteral("b-ledger.json"));
    const BatchReport skipped = b.run();
    EXPECT_FALSE(skipped.ran);
    EXPECT_TRUE(skipped.failure.contains("保存着未写入数据库的发送结果"))
        << skipped.failure.toStdString();

    queue.refuseStat(kept, false);
    EXPECT_TRUE(restartA().ran);
    EXPECT_EQ(fake.sendCount(), 3) << "the kept answer is written back, never posted again";
    EXPECT_EQ(queue.stat(kept).toString(), fake.sends().at(1).answer);
    queue.add(templateBody(4), 1);
    EXPECT_TRUE(b.run().ran);
    EXPECT_EQ(fake.sendCount(), 4);
    EXPECT_EQ(queue.pending(), 0);
}

// The parameters are read while a post is on its way; when that read fails, the batch ends but the
// answer on its way is still stored: its row must not be posted again.
TEST_F(SendBatch, ADatabaseFailureWhileAPostIsOnItsWayStillStoresItsAnswer)
{
    const std::vector<qlonglong> ids = addTemplates(3);
    fake.setLatency(100);
    auto breaker = QtConcurrent::run([this] {
        while (fake.requestCount(kTemplateSend) == 0)
            QThread::msleep(1);
        Database db(queue.connection());
        db.exec(QStringLiteral("alter table sysParam rename to sysParam_gone"));
    });
    const BatchReport report = testsupport::runBatch();
    breaker.waitForFinished();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_TRUE(report.failure.startsWith("数据库操作失败")) << report.failure.toStdString();
    // Counted as they arrive: a post whose answer the batch did not wait for counts too.
    const int posted = fake.requestCount(kTemplateSend);
    ASSERT_GE(posted, 1);
    for (int n = 0; n < posted; ++n)
        EXPECT_FALSE(queue.stat(ids[size_t(n)]).isNull()) << "row " << n << " was posted";
    EXPECT_EQ(queue.pending(), 3 - posted);
}

// The rows are read a part at a time; rows still on their way when a part ends must not be read
// and posted again with the next part. Answers come back in any order: each goes to its own row.
TEST_F(SendBatchInFlight, EveryRowIsPostedOnceAndGetsItsOwnAnswer)
{
    const int rows = kRowsPerRead + 44;
    const std::vector<qlonglong> ids = addTemplates(rows);
    queue.setParam("temp", QString::number(rows - 1));
    queue.load();
    fake.setLatency(1);
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(report.posted, rows - 1);
    EXPECT_EQ(fake.sendCount(), rows - 1);
    QMap<QByteArray, QString> answers;
    for (const auto &send : fake.sends())
        answers.insert(send.body, send.answer);
    EXPECT_EQ(answers.size(), rows - 1) << "no row posted twice";
    for (int n = 0; n < rows - 1; ++n)
        EXPECT_EQ(queue.stat(ids[size_t(n)]).toString(), answers.value(templateBody(n))) << n;
    EXPECT_EQ(queue.pending(), 1);
}

TEST_F(SendBatchInFlight, BusyEndsTheBatchOnceThePostsOnTheirWayAreStored)
{
    addTemplates(12);
    fake.failNext(kTemplateSend, 1, FakeWeChat::Fault::busy());
    const BatchReport report = testsupport::runBatch();
    EXPECT_TRUE(report.endedEarly);
    // Posts that were answered before the busy answer came back made room for others; after it,
    // nothing more went out, and every other answer on its way was stored.
    EXPECT_LT(fake.sendCount(), 12);
    EXPECT_EQ(report.posted, fake.sendCount() - 1);
    EXPECT_EQ(queue.pending(), 12 - report.posted);
}

// Every renewal spends the daily quota and knocks out other programs' tokens: once per batch, for
// all posts on their way, never once per row.
TEST_F(SendBatchInFlight, ARefusedTokenIsRenewedOncePerBatchForAllPostsOnTheirWay)
{
    const std::vector<qlonglong> ids = addTemplates(8);
    // Refused whatever the token: each row goes once more with the new token, then the batch ends.
    fake.failNext(kTemplateSend, -1,
                  FakeWeChat::Fault::
                      error(40001, "invalid credential, access_token is invalid or not latest"));
    BatchReport report = testsupport::runBatch();
    EXPECT_TRUE(report.endedEarly);
    EXPECT_EQ(fake.tokenCalls(), 2) << "the first token and one renewal";
    EXPECT_EQ(fake.sendCount(), 16);
    EXPECT_EQ(queue.pending(), 8) << "a refused token is no answer to the message";

    // Another program took a newer token meanwhile: renewed once, each row posted again with it.
    fake.clearFaults();
    fake.refuseCurrentTokenOnce();
    report = testsupport::runBatch();
    EXPECT_EQ(fake.tokenCalls(), 3);
    EXPECT_EQ(report.posted, 8);
    EXPECT_EQ(report.token, fake.lastIssuedToken());
    for (int n = 0; n < 8; ++n) {
        EXPECT_EQ(queue.stat(ids[size_t(n)]).toString(), answerFor(templateBody(n)));
        EXPECT_TRUE(answerFor(templateBody(n)).contains("\"errcode\":0")) << n;
    }
    for (const auto &send : fake.sends()) {
        if (send.answer.contains("\"errcode\":0")) {
            EXPECT_EQ(send.token, report.token) << "posted again with the new token";
        }
    }
}

// One renewal per batch: a later row refused for the renewed token ends the batch and waits.
TEST_F(SendBatch, ATokenRefusedAgainAfterTheRenewalEndsTheBatch)
{
    const std::vector<qlonglong> ids = addTemplates(2);
    const auto refused = FakeWeChat::Fault::error(40001, "invalid credential");
    fake.failNext(kTemplateSend, 1, refused);
    fake.failNext(kTemplateSend, 1, FakeWeChat::Fault::delay(0)); // the repost goes through
    fake.failNext(kTemplateSend, 1, refused);
    const BatchReport report = testsupport::runBatch();
    EXPECT_EQ(fake.tokenCalls(), 2) << "the first token and one renewal";
    EXPECT_TRUE(report.endedEarly);
    EXPECT_TRUE(queue.stat(ids[0]).toString().contains("\"errcode\":0"));
    EXPECT_TRUE(queue.stat(ids[1]).isNull());
}

// A post refused for its token while others are on their way: their answers are read and stored
// before the renewal, however long the token takes, and only the refused row goes again.
TEST_F(SendBatchInFlight, ARenewalWaitsUntilTheAnswersOnTheirWayAreStored)
{
    addTemplates(1, 100);
    testsupport::runBatch(); // caches a token
    addTemplates(8);
    fake.failNext(kTemplateSend, 1, FakeWeChat::Fault::error(40001, "invalid credential"));
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
    const auto bodyFor = [](int n) {
        return QStringLiteral(R"({"touser":"oA","template_id":"TPL","data":{"n":{"value":"%1"}}})")
            .arg(n)
            .toUtf8();
    };
    queue.add(bodyFor(1), 1);
    queue.add(bodyFor(2), 1);
    fake.failNext(kTemplateSend, 1, FakeWeChat::Fault::busy());
    testsupport::runBatch();
    EXPECT_TRUE(answerFor(bodyFor(2)).isEmpty()) << "oA's second message went out beside its first";

    testsupport::runBatch();
    std::vector<QByteArray> order;
    for (const auto &send : fake.sends())
        order.push_back(send.body);
    EXPECT_EQ(order, std::vector<QByteArray>({bodyFor(1), bodyFor(1), bodyFor(2)}));
    EXPECT_EQ(queue.pending(), 0);
}

// A ledger that cannot be written or read is never taken for an empty one.
TEST_F(SendBatch, ALedgerThatCannotBeSavedOrReadEndsTheBatch)
{
    const QString blocker = QDir(applicationFolder()).filePath(QStringLiteral("not-a-folder"));
    QFile(blocker).open(QIODevice::WriteOnly);
    queue.refuseStat(queue.add(templateBody(1), 1), true);
    Copy unwritable(QStringLiteral("not-a-folder/answer-ledger.json"));
    const BatchReport ended = unwritable.run();
    EXPECT_TRUE(ended.failure.contains("not-a-folder")) << ended.failure.toStdString();
    EXPECT_TRUE(logged("  发送结果记录文件无法保存，本批次结束："));
    unwritable.stop();

    QFile(QDir(applicationFolder()).filePath(QStringLiteral("empty-ledger.json")))
        .open(QIODevice::WriteOnly);
    Copy unreadable(QStringLiteral("empty-ledger.json"));
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
