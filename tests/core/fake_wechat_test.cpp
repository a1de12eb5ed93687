// What the tests that lean on the fake WeChat API take for granted and cannot see themselves:
// tokens are refused as WeChat refuses them, faults hit what they name in turn, and the follower
// list ends the way WeChat ends it.
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

// The fake and one client to it, the client destroyed first.
struct Api {
    FakeWeChat fake;
    testsupport::ScopedApiBase base{fake};
    HttpClient http;

    // The fake answers every path whatever the method, so one client reaches the GET endpoints.
    QJsonObject ask(const QString &pathAndQuery)
    {
        return ParseJson(http.Post(apiUrl(pathAndQuery))).value_or(QJsonObject());
    }
    QString send(int kind, const QString &token = QStringLiteral("T"))
    {
        return http.Post(messageUrl(kind, token), R"({"touser":"oA"})");
    }
    int errcode(int kind, const QString &token = QStringLiteral("T"))
    {
        return ParseJson(send(kind, token)).value_or(QJsonObject()).value("errcode").toInt(-99);
    }
    QString token(const QString &query = QStringLiteral("&appid=wx1&secret=s"))
    {
        return ask("/cgi-bin/token?grant_type=client_credential" + query)
            .value("access_token")
            .toString();
    }
};

} // namespace

TEST(FakeWeChat, TokensAreRefusedAsWeChatRefusesThem)
{
    Api api;
    const QString a = api.token(), b = api.token();
    EXPECT_NE(a, b);
    EXPECT_EQ(api.fake.lastIssuedToken(), b);
    EXPECT_EQ(api.errcode(1, a), 0) << "an earlier token stays valid";

    api.fake.setStaleOnIssue(true);
    const QString c = api.token();
    EXPECT_EQ(api.errcode(1, b), 40001);
    EXPECT_EQ(api.errcode(1, c), 0);

    api.fake.refuseCurrentTokenOnce();
    EXPECT_EQ(api.errcode(2, c), 40001);
    EXPECT_EQ(api.errcode(2, c), 40001) << "until a new token is issued";
    // The central server issues one too; its answer ends in a line break.
    const QString central = api.http.Post(api.fake.centralServerUrl());
    EXPECT_TRUE(central.endsWith("\r\n"));
    EXPECT_EQ(api.errcode(2, central.trimmed()), 0);

    // The query is decoded as a form decoder does, so a secret sent unencoded arrives cut short.
    api.fake.setCredentials("wx1", "s&+1");
    EXPECT_EQ(api.token("&appid=wx2&secret=" + urlValue("s&+1")), "");
    EXPECT_EQ(api.token("&appid=wx1&secret=s&+1"), "");
    EXPECT_NE(api.token("&appid=wx1&secret=" + urlValue("s&+1")), "");
    EXPECT_EQ(api.fake.tokenCalls(), 6);
    EXPECT_EQ(api.fake.centralCalls(), 1);
}

TEST(FakeWeChat, FaultsHitTheNamedPathInTurnForTheirCount)
{
    Api api;
    const QString path = QString::fromLatin1(endpoint::kTemplateSend);
    api.fake.failNext(path, 1, FakeWeChat::Fault::delay(0));
    api.fake.failNext(path, 2, FakeWeChat::Fault::busy());
    api.fake.failNext(path, 1, FakeWeChat::Fault::strayBytes("\r\n<!-- cache -->"));
    api.fake.failNext(path, 1, FakeWeChat::Fault::drop());
    EXPECT_EQ(api.errcode(2), 0) << "another path is not affected";
    EXPECT_EQ(api.errcode(1), 0) << "a delay answers as normal";
    EXPECT_EQ(api.errcode(1), -1);
    EXPECT_EQ(api.errcode(1), -1);
    const QString stray = api.send(1);
    EXPECT_TRUE(stray.startsWith(R"({"errcode":0,"errmsg":"ok","msgid":)")) << stray.toStdString();
    EXPECT_TRUE(stray.endsWith("}\r\n<!-- cache -->")) << stray.toStdString();
    EXPECT_THROW(api.send(1), HttpError);
    EXPECT_EQ(api.errcode(1), 0) << "every rule used up";

    api.fake.failNext(path, -1, FakeWeChat::Fault::answer("OK"));
    EXPECT_EQ(api.send(1), "OK");
    EXPECT_EQ(api.send(1), "OK");
    api.fake.clearFaults();
    EXPECT_EQ(api.errcode(1), 0);
    EXPECT_EQ(api.fake.sendCount(), 10);
}

TEST(FakeWeChat, TheFollowerListEndsAsWeChatEndsIt)
{
    Api api;
    api.fake.setFollowers({"oA", "oB", "oC"});
    api.fake.setPageSize(2);
    QStringList openids;
    QString next;
    QJsonObject page;
    do {
        page = api.ask("/cgi-bin/user/get?access_token=T&next_openid=" + next);
        EXPECT_EQ(page.value("total").toInt(), 3);
        for (const QJsonValue &openid : page.value("data").toObject().value("openid").toArray())
            openids << openid.toString();
        next = page.value("next_openid").toString();
    } while (page.value("count").toInt() > 0);
    EXPECT_EQ(openids, QStringList({"oA", "oB", "oC"}));
    EXPECT_FALSE(page.contains("data")) << "past the end: a count of 0 and no data";
    EXPECT_EQ(next, "");
    EXPECT_EQ(api.fake.requestCount(QString::fromLatin1(endpoint::kUserGet)), 3);
}
