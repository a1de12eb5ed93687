// Reading followers from the fake WeChat API: every page, list order, openids untouched, the
// notices.
#include "core/followers.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <QElapsedTimer>
#include <QJsonValue>
#include <gtest/gtest.h>

#include <optional>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {
const QString kToken = QStringLiteral("TOKEN1");

struct Rows : FollowerSink {
    std::vector<ProfileRow> rows;
    void addFollower(const ProfileRow &row) override { rows.push_back(row); }
    QStringList openids() const
    {
        QStringList ids;
        for (const ProfileRow &row : rows)
            ids << row[1].toString();
        return ids;
    }
};

QStringList requestedOpenids(const FakeWeChat &fake)
{
    QStringList ids;
    for (const auto &request : fake.infoRequests())
        ids << request.openids;
    return ids;
}

FollowerExportOutcome fetch(FakeWeChat &fake, Rows &rows, const FollowerExportControl &control = {})
{
    testsupport::ScopedApiBase base(fake);
    return FetchFollowers(kToken, rows, control);
}

const QString kBatchGet = QStringLiteral("/cgi-bin/user/info/batchget");

QStringList listTargets(const FakeWeChat &fake)
{
    QStringList targets;
    for (const auto &request : fake.requests())
        if (request.path == "/cgi-bin/user/get")
            targets << request.target;
    return targets;
}
} // namespace

TEST(Followers, EveryPageIsReadAndEveryFollowerLandsInListOrder)
{
    FakeWeChat fake;
    fake.setFollowerCount(2500);
    fake.setPageSize(1000); // three pages
    // The first hundred answers last, so the rows can only be in order if they wait for it.
    fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(100));
    Rows rows;
    std::vector<std::pair<qint64, qint64>> progress;
    FollowerExportControl control;
    control.progress = [&](qint64 read, qint64 total) { progress.emplace_back(read, total); };
    const auto out = fetch(fake, rows, control);

    ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished) << out.message.toStdString();
    EXPECT_EQ(out.followers, 2500);
    EXPECT_EQ(out.total, 2500);
    EXPECT_EQ(fake.userGetCalls(), 3) << "the total was reached: no fourth list request";
    const QStringList expected = fake.followers();
    EXPECT_EQ(rows.openids(), expected);
    QStringList requested = requestedOpenids(fake);
    requested.sort();
    EXPECT_TRUE(requested == expected) << "each follower asked for once, in hundreds";
    EXPECT_EQ(fake.requestCount(kBatchGet), 25);
    EXPECT_EQ(fake.requestCount("/cgi-bin/user/info"), 0);
    EXPECT_LE(fake.connectionCount(), 4)
        << "at most four requests at a time, on kept-alive connections";

    // The values as the profile gives them: numbers as numbers, texts as texts.
    const ProfileRow &first = rows.rows.front();
    EXPECT_TRUE(first[0].isDouble());
    EXPECT_EQ(first[2].toString(), "粉丝1");
    EXPECT_TRUE(first[3].isDouble());
    EXPECT_EQ(first[4].toString(), "深圳");
    EXPECT_EQ(first[7].toInteger(), 1700000000);

    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(qint64(0), qint64(2500)));
    EXPECT_EQ(progress.back(), std::make_pair(qint64(2500), qint64(2500)));

    const auto requests = fake.requests();
    EXPECT_EQ(requests.front().target, "/cgi-bin/user/get?access_token=TOKEN1&next_openid=");
    const auto batch = std::find_if(requests.begin(), requests.end(),
                                    [&](const auto &r) { return r.path == kBatchGet; });
    ASSERT_NE(batch, requests.end());
    EXPECT_EQ(batch->method, "POST");
    EXPECT_EQ(batch->target, kBatchGet + "?access_token=TOKEN1");
}

TEST(Followers, HundredsFollowTheListToItsLastFollower)
{
    // Last hundreds of exactly 100 and of 1, on list pages that end inside a hundred or on one.
    for (const auto &[count, pageSize] :
         {std::pair{300, 10000}, {201, 10000}, {300, 100}, {201, 150}}) {
        SCOPED_TRACE(std::to_string(count) + " followers, pages of " + std::to_string(pageSize));
        FakeWeChat fake;
        fake.setFollowerCount(count);
        fake.setPageSize(pageSize);
        Rows rows;
        const auto out = fetch(fake, rows);
        ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished) << out.message.toStdString();
        EXPECT_EQ(rows.openids(), fake.followers());
        std::vector<int> sizes;
        for (const auto &request : fake.infoRequests())
            sizes.push_back(int(request.openids.size()));
        std::sort(sizes.begin(), sizes.end(), std::greater<>());
        std::vector<int> expected(size_t(count / 100), 100);
        if (count % 100)
            expected.push_back(count % 100);
        EXPECT_EQ(sizes, expected);
    }
}

TEST(Followers, AFollowerWhoLeftKeepsARowWithSubscribeAndOpenid)
{
    // Described in the list answer itself, in the middle of a page and of a hundred.
    {
        FakeWeChat fake;
        fake.setFollowerCount(250);
        const QString gone = fake.followers()[149];
        fake.setLeft(gone);
        Rows rows;
        const auto out = fetch(fake, rows);
        ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished) << out.message.toStdString();
        ASSERT_EQ(rows.openids(), fake.followers());
        const ProfileRow &row = rows.rows[149];
        EXPECT_EQ(row[0], QJsonValue(0));
        EXPECT_EQ(row[1].toString(), gone);
        for (int i = 2; i < kProfileColumns; ++i)
            EXPECT_TRUE(row[i].isNull()) << "column " << i; // an empty cell
        EXPECT_EQ(rows.rows[150][2].toString(), "粉丝151");
        EXPECT_EQ(fake.requestCount("/cgi-bin/user/info"), 0);
    }
    // A hundred refused as a whole for that follower (40003) is asked for one follower at a time,
    // and the other 99 still arrive.
    {
        FakeWeChat fake;
        fake.setFollowerCount(250);
        const QString gone = fake.followers()[120];
        fake.setLeft(gone, true);
        Rows rows;
        const auto out = fetch(fake, rows);
        ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished) << out.message.toStdString();
        ASSERT_EQ(rows.openids(), fake.followers());
        EXPECT_EQ(rows.rows[120][0], QJsonValue(0));
        EXPECT_TRUE(rows.rows[120][2].isNull());
        EXPECT_EQ(rows.rows[121][2].toString(), "粉丝122");
        EXPECT_EQ(fake.requestCount(kBatchGet), 3);
        EXPECT_EQ(fake.requestCount("/cgi-bin/user/info"), 100)
            << "only the refused hundred, one by one";
    }
}

TEST(Followers, ListEndsOnAnEmptyPageOrAnEmptyContinuation)
{
    FakeWeChat fake;
    fake.setFollowers({"oA", "oB", "oC", "oD"});
    fake.setPageSize(2);
    Rows rows;
    auto out = fetch(fake, rows);
    ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished);
    EXPECT_EQ(rows.openids(), QStringList({"oA", "oB", "oC", "oD"}));
    EXPECT_EQ(listTargets(fake),
              QStringList({"/cgi-bin/user/get?access_token=TOKEN1&next_openid=",
                           "/cgi-bin/user/get?access_token=TOKEN1&next_openid=oB"}));

    // An account without followers: WeChat's empty page without "data" is the end, not an error.
    FakeWeChat empty;
    empty.setFollowerCount(0);
    Rows none;
    out = fetch(empty, none);
    EXPECT_EQ(out.status, FollowerExportOutcome::Status::Finished);
    EXPECT_EQ(out.followers, 0);
    EXPECT_TRUE(none.rows.empty());
    EXPECT_TRUE(empty.infoRequests().empty());
}

TEST(Followers, OpenidsAreRequestedExactlyAsListed)
{
    FakeWeChat fake;
    const QStringList ids = {"oXdataY", "data", "o-data_data", "odatadata"};
    fake.setFollowers(ids);
    Rows rows;
    const auto out = fetch(fake, rows);
    ASSERT_EQ(out.status, FollowerExportOutcome::Status::Finished) << out.message.toStdString();
    EXPECT_EQ(requestedOpenids(fake), ids);
    EXPECT_EQ(rows.openids(), ids);
}

TEST(Followers, FailuresShowTheLastAnswerByTheNoticeTable)
{
    // An account without the right to the interface: the 48001 notice followed by the answer.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        fake.failNext("/cgi-bin/user/get", -1, FakeWeChat::Fault::error(48001, "api unauthorized"));
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_TRUE(out.lastAnswer.contains("48001"));
        EXPECT_EQ(out.message, "操作失败！公众号必须要认证后才有此接口权限！" + out.lastAnswer);
        EXPECT_TRUE(fake.infoRequests().empty());
    }
    // A list answer without "data" (and no end-of-list count) is shown as it came.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        fake.failNext("/cgi-bin/user/get", -1, FakeWeChat::Fault::error(40013, "invalid appid"));
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_TRUE(out.message.startsWith("{\"errcode\":40013")) << out.message.toStdString();
        EXPECT_EQ(out.message, out.lastAnswer);
        EXPECT_TRUE(rows.rows.empty());
    }
    // A list page that is not JSON at all (an HTML error page) is shown as it came too.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        fake.failNext("/cgi-bin/user/get", 1, FakeWeChat::Fault::serverError());
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_FALSE(out.message.isEmpty());
        EXPECT_EQ(out.message, out.lastAnswer);
    }
    // An error answer on the second batchget to arrive ends the export with that answer. Hundreds
    // go out together, so which hundred meets it varies; only whole hundreds before it are kept.
    {
        FakeWeChat fake;
        fake.setFollowerCount(1000);
        fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(0));
        fake.failNext(kBatchGet, 1,
                      FakeWeChat::Fault::error(45009, "reach max api daily quota limit"));
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_LT(rows.rows.size(), 1000u);
        EXPECT_EQ(rows.rows.size() % 100, 0u);
        EXPECT_TRUE(out.message.startsWith("{\"errcode\":45009")) << out.message.toStdString();
    }
    // A request that gets no answer shows the last answer that did arrive: here the list page.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        fake.failNext(kBatchGet, 1, FakeWeChat::Fault::drop());
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_TRUE(rows.rows.empty());
        EXPECT_TRUE(out.message.startsWith("{\"total\":3")) << out.message.toStdString();
    }
}

TEST(Followers, ATokenRefusedAgainAfterItsRenewalEndsTheExport)
{
    FakeWeChat fake;
    fake.setFollowerCount(250);
    fake.setPageSize(100);
    fake.failNext(kBatchGet, -1, FakeWeChat::Fault::error(42001, "access_token expired"));
    QStringList refused;
    FollowerExportControl control;
    control.renewToken = [&](const QString &token) {
        refused << token;
        return QStringLiteral("TOKEN2");
    };
    Rows rows;
    EXPECT_EQ(fetch(fake, rows, control).status, FollowerExportOutcome::Status::Failed);
    EXPECT_EQ(refused, QStringList{kToken}) << "renewed once";
    int askedAgain = 0;
    for (const auto &request : fake.requests())
        askedAgain += request.path == kBatchGet && request.target.contains("access_token=TOKEN2");
    EXPECT_GE(askedAgain, 1) << "the refused hundred was asked again with the new token";
}

TEST(Followers, CancelAbandonsTheRequestsInFlight)
{
    // Between hundreds: nothing more reaches the sink.
    {
        FakeWeChat fake;
        fake.setFollowerCount(500);
        fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(0));
        fake.failNext(kBatchGet, -1, FakeWeChat::Fault::delay(200));
        Rows rows;
        FollowerExportControl control;
        control.cancelled = [&] { return rows.rows.size() >= 100; };
        const auto out = fetch(fake, rows, control);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Cancelled);
        EXPECT_EQ(rows.rows.size(), 100u);
    }
    // During a request that would take a minute: it is dropped, not waited for.
    {
        FakeWeChat fake;
        fake.setFollowerCount(50);
        fake.failNext(kBatchGet, 1, FakeWeChat::Fault::delay(60000));
        Rows rows;
        QElapsedTimer clock;
        clock.start();
        FollowerExportControl control;
        control.cancelled = [&] {
            return fake.requestCount(kBatchGet) > 0 && clock.elapsed() > 300;
        };
        const auto out = fetch(fake, rows, control);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Cancelled);
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_TRUE(rows.rows.empty());
    }
}
