// Reading followers from the fake WeChat API: every page, list order, openids untouched, followers
// who left, a refused token, the notice a failure shows, a cancel.
#include "core/followers.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"
#include "support/sqlite_queue.h"

#include <QElapsedTimer>
#include <QJsonValue>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;
using Status = FollowerExportOutcome::Status;

namespace {

const QString kToken = QStringLiteral("TOKEN1");
const QString kUserGet = QString::fromLatin1(endpoint::kUserGet);
const QString kUserInfo = QString::fromLatin1(endpoint::kUserInfo);
const QString kBatchGet = QString::fromLatin1(endpoint::kBatchGet);

// One account: the fake API, a message database whose parameters take the token straight from it,
// and the rows the export hands on.
struct Account : FollowerSink {
    Account() : api(fake)
    {
        queue.setParam("appid", "wxAPP");
        queue.setParam("appsecret", "SECRET");
    }

    void addFollower(const ProfileRow &row) override { rows.push_back(row); }

    // The profiles read with a token given, or the whole export from the database's parameters.
    FollowerExportOutcome fetch(const FollowerExportControl &control = {})
    {
        return FetchFollowers(kToken, *this, control);
    }
    FollowerExportOutcome exportAll(const FollowerExportControl &control = {})
    {
        return ExportFollowers(queue.connection(), *this, control);
    }

    QStringList openids() const
    {
        QStringList ids;
        for (const ProfileRow &row : rows)
            ids << row[1].toString();
        return ids;
    }

    // The openids profile requests to `path` asked for, in the order they arrived.
    QStringList asked(const QString &path) const
    {
        QStringList ids;
        for (const auto &request : fake.infoRequests())
            if (request.path == path)
                ids << request.openids;
        return ids;
    }

    QStringList targets(const QString &path) const
    {
        QStringList all;
        for (const auto &request : fake.requests())
            if (request.path == path)
                all << request.target;
        return all;
    }

    testsupport::SqliteQueue queue;
    FakeWeChat fake;
    testsupport::ScopedApiBase api;
    std::vector<ProfileRow> rows;
};

} // namespace

TEST(Followers, EveryPageIsReadAndEveryFollowerLandsInListOrder)
{
    Account a;
    a.fake.setFollowerCount(2500);
    a.fake.setPageSize(1000); // three pages
    // The first hundred answers last, so the rows can only be in order if they wait for it.
    a.fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(100));
    std::vector<std::pair<qint64, qint64>> progress;
    FollowerExportControl control;
    control.progress = [&](qint64 read, qint64 total) { progress.emplace_back(read, total); };
    const auto out = a.fetch(control);

    ASSERT_EQ(out.status, Status::Finished) << out.message.toStdString();
    EXPECT_EQ(out.followers, 2500);
    EXPECT_EQ(out.total, 2500);
    EXPECT_EQ(a.fake.requestCount(kUserGet), 3) << "the total was reached: no fourth list request";
    const QStringList expected = a.fake.followers();
    EXPECT_EQ(a.openids(), expected);
    QStringList requested = a.asked(kBatchGet);
    requested.sort();
    EXPECT_TRUE(requested == expected) << "each follower asked for once, in hundreds";
    EXPECT_EQ(a.fake.requestCount(kBatchGet), 25);
    EXPECT_EQ(a.fake.requestCount(kUserInfo), 0);
    EXPECT_LE(a.fake.connectionCount(), 4)
        << "at most four requests at a time, on kept-alive connections";

    // The values as the profile gives them: numbers as numbers, texts as texts.
    const ProfileRow &first = a.rows.front();
    EXPECT_TRUE(first[0].isDouble());
    EXPECT_EQ(first[2].toString(), "粉丝1");
    EXPECT_TRUE(first[3].isDouble());
    EXPECT_EQ(first[4].toString(), "深圳");
    EXPECT_EQ(first[7].toInteger(), 1700000000);

    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(qint64(0), qint64(2500)));
    EXPECT_EQ(progress.back(), std::make_pair(qint64(2500), qint64(2500)));

    EXPECT_EQ(a.targets(kUserGet).value(0), "/cgi-bin/user/get?access_token=TOKEN1&next_openid=");
    EXPECT_EQ(a.targets(kBatchGet).value(0), kBatchGet + "?access_token=TOKEN1");
    for (const auto &request : a.fake.requests())
        EXPECT_EQ(request.method, request.path == kBatchGet ? "POST" : "GET")
            << request.target.toStdString();
}

TEST(Followers, HundredsFollowTheListToItsLastFollower)
{
    // No followers at all (WeChat's empty page without "data" is the end, not an error), and last
    // hundreds of exactly 100 and of 1, on list pages that end inside a hundred or on one.
    for (const auto &[count, pageSize] :
         {std::pair{0, 10000}, {300, 10000}, {201, 10000}, {300, 100}, {201, 150}}) {
        SCOPED_TRACE(std::to_string(count) + " followers, pages of " + std::to_string(pageSize));
        Account a;
        a.fake.setFollowerCount(count);
        a.fake.setPageSize(pageSize);
        const auto out = a.fetch();
        ASSERT_EQ(out.status, Status::Finished) << out.message.toStdString();
        EXPECT_EQ(out.followers, count);
        EXPECT_EQ(a.openids(), a.fake.followers());
        std::vector<int> sizes;
        for (const auto &request : a.fake.infoRequests())
            sizes.push_back(int(request.openids.size()));
        std::sort(sizes.begin(), sizes.end(), std::greater<>());
        std::vector<int> expected(size_t(count / 100), 100);
        if (count % 100)
            expected.push_back(count % 100);
        EXPECT_EQ(sizes, expected);
    }
}

TEST(Followers, OpenidsAreRequestedExactlyAsListed)
{
    Account a;
    const QStringList ids = {"oXdataY", "data", "o-data_data", "odatadata"};
    a.fake.setFollowers(ids);
    a.fake.setPageSize(2);
    const auto out = a.fetch();
    ASSERT_EQ(out.status, Status::Finished) << out.message.toStdString();
    EXPECT_EQ(a.asked(kBatchGet), ids);
    EXPECT_EQ(a.openids(), ids);
    EXPECT_EQ(a.targets(kUserGet),
              QStringList({"/cgi-bin/user/get?access_token=TOKEN1&next_openid=",
                           "/cgi-bin/user/get?access_token=TOKEN1&next_openid=data"}));
}

TEST(Followers, AFollowerWhoLeftKeepsARowWithSubscribeAndOpenid)
{
    // One who left in each hundred; the hundred that arrives first is refused as a whole for them
    // (40003) and asked for one follower at a time, the others describe them in the list answer.
    Account a;
    a.fake.setFollowerCount(250);
    const QStringList all = a.fake.followers();
    const int gone[] = {50, 150, 220};
    for (int i : gone)
        a.fake.setLeft(all[i]);
    a.fake.failNext(kBatchGet, 1, FakeWeChat::Fault::error(40003, "invalid openid"));
    const auto out = a.fetch();
    ASSERT_EQ(out.status, Status::Finished) << out.message.toStdString();
    ASSERT_EQ(a.openids(), all);
    for (int i : gone) {
        const ProfileRow &row = a.rows[size_t(i)];
        EXPECT_EQ(row[0], QJsonValue(0)) << i;
        for (int column = 2; column < kProfileColumns; ++column)
            EXPECT_TRUE(row[column].isNull()) << i << ", column " << column; // an empty cell
        EXPECT_EQ(a.rows[size_t(i) + 1][2].toString(), "粉丝" + QString::number(i + 2));
    }
    EXPECT_EQ(a.fake.requestCount(kBatchGet), 3);
    QStringList single = a.asked(kUserInfo);
    single.sort();
    const qsizetype first = all.indexOf(single.value(0));
    EXPECT_EQ(first % 100, 0);
    EXPECT_EQ(single, all.mid(first, first == 200 ? 50 : 100))
        << "the refused hundred alone, one by one, and all of it";
}

TEST(Followers, ARefusedTokenIsRenewedOnceForTheRun)
{
    // Refused once: renewed, and the export finishes with the new token.
    {
        Account a;
        a.fake.setFollowerCount(3);
        a.fake.failNext(kUserGet, 1, FakeWeChat::Fault::error(40001, "invalid credential"));
        const auto out = a.exportAll();
        ASSERT_EQ(out.status, Status::Finished) << out.message.toStdString();
        EXPECT_EQ(a.openids(), a.fake.followers());
        EXPECT_EQ(a.fake.tokenCalls(), 2);
        EXPECT_TRUE(a.targets(kBatchGet).value(0).endsWith(a.fake.lastIssuedToken()));
    }
    // Refused again with the new token: the export ends there.
    {
        Account a;
        a.fake.setFollowerCount(250);
        a.fake.failNext(kBatchGet, -1, FakeWeChat::Fault::error(42001, "access_token expired"));
        EXPECT_EQ(a.exportAll().status, Status::Failed);
        EXPECT_EQ(a.fake.tokenCalls(), 2) << "renewed once";
        EXPECT_FALSE(a.targets(kBatchGet).filter(a.fake.lastIssuedToken()).isEmpty())
            << "the refused hundred was asked again with the new token";
    }
}

TEST(Followers, FailuresShowTheLastAnswerByTheNoticeTable)
{
    using Fault = FakeWeChat::Fault;
    const QString unauthorized = QStringLiteral("操作失败！公众号必须要认证后才有此接口权限！");
    const struct {
        const char *what;
        QString path;
        std::vector<Fault> faults; // one request each; the last one for every request after them
        QString shown;             // how the notice starts: a fixed text, then WeChat's answer
        int followers = 3;
    } cases[] = {
        {"no right to the interface",
         kUserGet,
         {Fault::error(48001, "api unauthorized")},
         unauthorized + R"({"errcode":48001)"},
        {"a list answer without data",
         kUserGet,
         {Fault::error(40013, "invalid appid")},
         R"({"errcode":40013)"},
        {"a list page that is no JSON", kUserGet, {Fault::serverError()}, "<html>"},
        {"no answer: the last one that came", kBatchGet, {Fault::drop()}, R"({"total":3)"},
        {"an error on the second hundred to arrive",
         kBatchGet,
         {Fault::delay(0), Fault::error(45009, "reach max api daily quota limit")},
         R"({"errcode":45009)",
         1000},
        // No answer from the follower interface yet: the notice points at the settings.
        {"no token",
         QString::fromLatin1(endpoint::kToken),
         {Fault::error(40013, "invalid appid")},
         R"(操作失败！请检查相关配置！{"errcode":40013)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Account a;
        a.fake.setFollowerCount(c.followers);
        for (size_t i = 0; i < c.faults.size(); ++i)
            a.fake.failNext(c.path, i + 1 < c.faults.size() ? 1 : -1, c.faults[i]);
        const auto out = a.exportAll();
        EXPECT_EQ(out.status, Status::Failed);
        EXPECT_TRUE(out.message.startsWith(c.shown)) << out.message.toStdString();
        EXPECT_TRUE(out.message.endsWith(out.lastAnswer)) << "the whole answer is shown";
        // Hundreds go out together, so which one meets the error varies; only whole hundreds
        // before it are kept.
        EXPECT_LT(a.rows.size(), size_t(c.followers));
        EXPECT_EQ(a.rows.size() % 100, 0u);
    }
}

TEST(Followers, CancelAbandonsTheRequestsInFlight)
{
    // Between hundreds: nothing more reaches the sink.
    {
        Account a;
        a.fake.setFollowerCount(500);
        a.fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(0));
        a.fake.failNext(kBatchGet, -1, FakeWeChat::Fault::delay(200));
        FollowerExportControl control;
        control.cancelled = [&] { return a.rows.size() >= 100; };
        EXPECT_EQ(a.fetch(control).status, Status::Cancelled);
        EXPECT_EQ(a.rows.size(), 100u);
    }
    // During a request that would take a minute: it is dropped, not waited for.
    {
        Account a;
        a.fake.setFollowerCount(50);
        a.fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(60000));
        QElapsedTimer clock;
        clock.start();
        FollowerExportControl control;
        control.cancelled = [&] {
            return a.fake.requestCount(kBatchGet) > 0 && clock.elapsed() > 300;
        };
        EXPECT_EQ(a.fetch(control).status, Status::Cancelled);
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_TRUE(a.rows.empty());
    }
}
