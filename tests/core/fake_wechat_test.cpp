// The fake WeChat API answers in WeChat's shapes, so tests that lean on it test against the real
// thing.
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;
using testsupport::ScopedApiBase;

namespace {

QJsonObject parsed(const QString &answer)
{
    const auto object = ParseJson(answer);
    EXPECT_TRUE(object) << answer.toStdString();
    return object.value_or(QJsonObject());
}

int errcode(const QString &answer)
{
    return parsed(answer).value("errcode").toInt(0);
}

QString send(HttpClient &http, int kind, const QString &token,
             const QByteArray &body = R"({"touser":"oA"})")
{
    return http.Post(messageUrl(kind, token), body);
}

// The fake answers every path whatever the method, so one client reaches the GET endpoints too.
QString ask(HttpClient &http, const QString &pathAndQuery, const QByteArray &body = {})
{
    return http.Post(apiUrl(pathAndQuery), body);
}

QString tokenFrom(HttpClient &http)
{
    return parsed(
               http.Post(apiUrl("/cgi-bin/token?grant_type=client_credential&appid=wx1&secret=s")))
        .value("access_token")
        .toString();
}

// Every openid of the list, page by page, as a follower export walks it.
QStringList walkFollowers(HttpClient &http, int *pages)
{
    QStringList all;
    QString next;
    *pages = 0;
    for (;;) {
        const QJsonObject page =
            parsed(ask(http, "/cgi-bin/user/get?access_token=T&next_openid=" + urlValue(next)));
        ++*pages;
        if (page.value("count").toInt() == 0)
            return all;
        for (const QJsonValue &openid : page.value("data").toObject().value("openid").toArray())
            all << openid.toString();
        next = page.value("next_openid").toString();
    }
}

} // namespace

TEST(FakeWeChat, IssuesANewTokenEachCallAndCanMakeEarlierOnesStale)
{
    FakeWeChat fake;
    fake.setTokenLifetime(7000);
    ScopedApiBase base(fake);
    HttpClient http;

    const QJsonObject first =
        parsed(http.Post(apiUrl("/cgi-bin/token?grant_type=client_credential&appid=wx1&secret=s")));
    EXPECT_EQ(first.value("expires_in").toInt(), 7000);
    const QString a = first.value("access_token").toString();
    const QString b = tokenFrom(http);
    EXPECT_NE(a, b);
    EXPECT_EQ(fake.tokenCalls(), 2);
    EXPECT_EQ(fake.lastIssuedToken(), b);
    EXPECT_EQ(errcode(send(http, 1, a)), 0) << "earlier tokens stay valid";

    fake.setStaleOnIssue(true);
    const QString c = tokenFrom(http);
    const QString refused = send(http, 1, b);
    EXPECT_EQ(errcode(refused), 40001);
    EXPECT_TRUE(refused.contains(" rid: "));
    EXPECT_EQ(errcode(send(http, 1, c)), 0);
}

TEST(FakeWeChat, RefusesTheCurrentTokenUntilANewOneIsIssued)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;

    fake.refuseCurrentTokenOnce();
    EXPECT_EQ(errcode(send(http, 2, "SEEDED")), 40001);
    EXPECT_EQ(errcode(send(http, 2, "SEEDED")), 40001);
    const QString fresh = tokenFrom(http);
    EXPECT_EQ(errcode(send(http, 2, fresh)), 0);

    // Asking the central server also gets a new token; its answer ends in a line break.
    fake.refuseCurrentTokenOnce();
    const QString central = http.Post(fake.centralServerUrl());
    EXPECT_TRUE(central.endsWith("\r\n"));
    EXPECT_EQ(fake.centralCalls(), 1);
    EXPECT_EQ(errcode(send(http, 2, central.trimmed())), 0);
    EXPECT_EQ(fake.sendCount(), 4);
}

TEST(FakeWeChat, TokenEndpointChecksItsQuery)
{
    FakeWeChat fake;
    fake.setCredentials("wx1", "s&+1");
    ScopedApiBase base(fake);
    HttpClient http;

    const QString exchange = QStringLiteral("/cgi-bin/token?grant_type=client_credential");
    EXPECT_EQ(errcode(ask(http, exchange + "&appid=wx2&secret=x")), 40013);
    EXPECT_EQ(errcode(ask(http, exchange + "&appid=wx1&secret=s&+1")), 40125)
        << "an unencoded secret arrives cut short";
    EXPECT_EQ(errcode(ask(http, exchange + "&appid=wx1&secret=" + urlValue("s&+1"))), 0);
    EXPECT_EQ(fake.tokenCalls(), 3);
}

TEST(FakeWeChat, FaultsHitTheNamedPathForTheGivenCount)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;

    fake.failNext("/cgi-bin/message/template/send", 2, FakeWeChat::Fault::busy());
    EXPECT_EQ(errcode(send(http, 2, "T")), 0) << "another path is not affected";
    EXPECT_EQ(errcode(send(http, 1, "T")), -1);
    EXPECT_EQ(errcode(send(http, 1, "T")), -1);
    EXPECT_EQ(errcode(send(http, 1, "T")), 0);

    fake.failNext("*", 1, FakeWeChat::Fault::delay(1));
    fake.failNext("*", 1, FakeWeChat::Fault::drop());
    fake.failNext("*", 1, FakeWeChat::Fault::strayBytes("\r\n<!-- cache -->"));
    fake.failNext("*", 1, FakeWeChat::Fault::answer("OK"));
    EXPECT_EQ(errcode(send(http, 2, "T")), 0) << "a delay still answers";
    EXPECT_THROW(send(http, 2, "T"), HttpError);
    EXPECT_EQ(send(http, 2, "T"), "{\"errcode\":0,\"errmsg\":\"ok\"}\r\n<!-- cache -->");
    EXPECT_EQ(send(http, 2, "T"), "OK");

    fake.failNext("/cgi-bin/message/custom/send", -1,
                  FakeWeChat::Fault::error(45015, "response out of time limit"));
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(errcode(send(http, 2, "T")), 45015);
    fake.clearFaults();
    EXPECT_EQ(errcode(send(http, 2, "T", "not json")), 47001);

    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 11u);
    EXPECT_EQ(sends[5].answer, "") << "the dropped send is recorded with no answer";
}

TEST(FakeWeChat, PagesFollowersTenThousandAtATime)
{
    FakeWeChat fake;
    fake.setFollowerCount(25001);
    ScopedApiBase base(fake);
    HttpClient http;

    const QJsonObject first = parsed(ask(http, "/cgi-bin/user/get?access_token=T"));
    EXPECT_EQ(first.value("total").toInt(), 25001);
    EXPECT_EQ(first.value("count").toInt(), 10000);

    int pages = 0;
    const QStringList all = walkFollowers(http, &pages);
    EXPECT_EQ(pages, 4);
    ASSERT_EQ(all.size(), 25001);
    EXPECT_EQ(all, fake.followers());
    EXPECT_EQ(all.first().size(), 28);
    EXPECT_EQ(QSet<QString>(all.begin(), all.end()).size(), 25001);
}

TEST(FakeWeChat, ServesAnExplicitListAndProfilesByOneOrByHundred)
{
    FakeWeChat fake;
    const QStringList openids{"oData_1", "o_data_data", "oPlain"};
    fake.setFollowers(openids);
    fake.setPageSize(2);
    ScopedApiBase base(fake);
    HttpClient http;

    int pages = 0;
    EXPECT_EQ(walkFollowers(http, &pages), openids);
    EXPECT_EQ(pages, 3);

    const QJsonObject profile =
        parsed(ask(http, "/cgi-bin/user/info?access_token=T&openid=o_data_data&lang=zh_CN"));
    EXPECT_EQ(profile.value("openid").toString(), "o_data_data");
    EXPECT_EQ(profile.value("subscribe").toInt(), 1);
    for (const char *member : {"nickname", "sex", "city", "country", "province", "subscribe_time"})
        EXPECT_TRUE(profile.contains(member)) << member;
    EXPECT_EQ(errcode(ask(http, "/cgi-bin/user/info?access_token=T&openid=o_da_da")), 40003);

    const QJsonObject batch = parsed(
        http.Post(apiUrl("/cgi-bin/user/info/batchget?access_token=T"),
                  R"({"user_list":[{"openid":"oPlain","lang":"zh_CN"},{"openid":"oData_1"}]})"));
    const QJsonArray list = batch.value("user_info_list").toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].toObject().value("openid").toString(), "oPlain");
    EXPECT_EQ(list[1].toObject().value("openid").toString(), "oData_1");

    QJsonArray tooMany;
    for (int i = 0; i < 101; ++i)
        tooMany.append(QJsonObject{{"openid", "oPlain"}});
    const QByteArray body = QJsonDocument(QJsonObject{{"user_list", tooMany}}).toJson();
    EXPECT_EQ(errcode(http.Post(apiUrl("/cgi-bin/user/info/batchget?access_token=T"), body)),
              40032);

    const auto info = fake.infoRequests();
    ASSERT_EQ(info.size(), 4u);
    EXPECT_EQ(info[0].openids, QStringList{"o_data_data"});
    EXPECT_EQ(info[2].path, "/cgi-bin/user/info/batchget");
    EXPECT_EQ(info[2].openids, (QStringList{"oPlain", "oData_1"}));

    EXPECT_EQ(fake.userGetCalls(), 3);
}
