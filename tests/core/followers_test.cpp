// Reading followers from the fake WeChat API: every page, list order, openids untouched, the notices.
#include "core/followers.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"

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
    HttpClient http;
    return FetchFollowers(http, kToken, rows, control);
}
} // namespace

TEST(Followers, EveryPageIsReadAndEveryFollowerLandsInListOrder)
{
    FakeWeChat fake;
    fake.setFollowerCount(2500);
    fake.setPageSize(1000); // three pages
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
    EXPECT_EQ(requestedOpenids(fake), expected);
    EXPECT_EQ(fake.connectionCount(), 1) << "one kept-alive connection for the whole export";

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

    // Each profile request carries the token, the openid and the language.
    const auto requests = fake.requests();
    const auto info = std::find_if(requests.begin(), requests.end(),
                                   [](const auto &r) { return r.path == "/cgi-bin/user/info"; });
    ASSERT_NE(info, requests.end());
    EXPECT_EQ(info->target, "/cgi-bin/user/info?access_token=TOKEN1&openid=" + expected.first() + "&lang=zh_CN");
    EXPECT_EQ(requests.front().target, "/cgi-bin/user/get?access_token=TOKEN1&next_openid=");
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
    EXPECT_EQ(fake.userGetCalls(), 2);
    const auto requests = fake.requests();
    EXPECT_EQ(requests[3].target, "/cgi-bin/user/get?access_token=TOKEN1&next_openid=oB");

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
        fake.setUserGetError(48001, "api unauthorized");
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
        fake.setUserGetError(40013, "invalid appid");
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
    // A profile error answer ends the export at that follower, with that answer.
    {
        FakeWeChat fake;
        fake.setFollowerCount(5);
        fake.failNext("/cgi-bin/user/info", 2, FakeWeChat::Fault::delay(0));
        fake.failNext("/cgi-bin/user/info", 1, FakeWeChat::Fault::error(45009, "reach max api daily quota limit"));
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        EXPECT_EQ(rows.rows.size(), 2u);
        EXPECT_EQ(fake.requestCount("/cgi-bin/user/info"), 3) << "nothing is requested after the failing profile";
        EXPECT_TRUE(out.message.startsWith("{\"errcode\":45009")) << out.message.toStdString();
    }
    // A request that gets no answer shows the last answer that did arrive: here the first profile.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        fake.failNext("/cgi-bin/user/info", 1, FakeWeChat::Fault::delay(0));
        fake.failNext("/cgi-bin/user/info", 1, FakeWeChat::Fault::drop());
        Rows rows;
        const auto out = fetch(fake, rows);
        EXPECT_EQ(out.status, FollowerExportOutcome::Status::Failed);
        ASSERT_EQ(rows.rows.size(), 1u);
        EXPECT_TRUE(out.message.contains("\"openid\":\"" + rows.openids().first() + "\"")) << out.message.toStdString();
    }
}

TEST(Followers, NoticeTable)
{
    EXPECT_EQ(followerExportFailureText(""), "操作失败！请检查相关配置！");
    EXPECT_EQ(followerExportFailureText("{\"errcode\":40001}"), "{\"errcode\":40001}");
    EXPECT_EQ(followerExportFailureText("x48001y"), "操作失败！公众号必须要认证后才有此接口权限！x48001y");
}

TEST(Followers, CancelStopsBeforeTheNextRequest)
{
    FakeWeChat fake;
    fake.setFollowerCount(50);
    Rows rows;
    FollowerExportControl control;
    control.cancelled = [&] { return rows.rows.size() >= 3; };
    const auto out = fetch(fake, rows, control);
    EXPECT_EQ(out.status, FollowerExportOutcome::Status::Cancelled);
    EXPECT_EQ(rows.rows.size(), 3u);
    EXPECT_EQ(fake.infoRequests().size(), 3u);
}
