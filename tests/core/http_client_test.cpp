// The HTTP client against the fake WeChat API: requests as sent, answers whatever the status, failures.
#include "core/app_context.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <QJsonArray>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;
using testsupport::ScopedApiBase;

namespace {
const QString kTemplatePath = QStringLiteral("/cgi-bin/message/template/send");
const QString kCustomPath = QStringLiteral("/cgi-bin/message/custom/send");
} // namespace

TEST(HttpClient, PostsBothKindsWithTheTokenTheBodyAndTheOneHeader)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;
    const QString body = QStringLiteral(R"({"touser":"oA","data":{"k":{"value":"您好，订单已发货"}}})");

    const QString first = http.PostTemplateMessage(body, QStringLiteral("TOKEN_1"));
    EXPECT_EQ(first, QStringLiteral(R"({"errcode":0,"errmsg":"ok","msgid":3700000000000000001})"));
    EXPECT_EQ(http.lastStatus(), 200);
    EXPECT_EQ(http.PostCustomMessage(body, QStringLiteral("TOKEN_1")),
              QStringLiteral(R"({"errcode":0,"errmsg":"ok"})"));

    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].path, kTemplatePath);
    EXPECT_EQ(sends[1].path, kCustomPath);
    for (const auto &send : sends) {
        EXPECT_EQ(send.token, "TOKEN_1");
        EXPECT_EQ(send.body, body.toUtf8()); // UTF-8 on the wire, Chinese text not escaped
    }
    for (const auto &request : fake.requests()) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.header("Content-Type"),
                  QStringList{QStringLiteral("application/x-www-form-urlencoded")});
    }
}

TEST(HttpClient, SendsNoExpectHeaderEvenForLargeBodies)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;
    const QString body = QStringLiteral(R"({"touser":"oA","text":{"content":"%1"}})")
                             .arg(QString(200000, QLatin1Char('x')));
    EXPECT_EQ(http.PostCustomMessage(body, "T"), R"({"errcode":0,"errmsg":"ok"})");
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].header("Expect").isEmpty());
    EXPECT_EQ(fake.sends()[0].body.size(), body.size());
}

TEST(HttpClient, EmptyTokenSendsNothingAfterTheEqualsSignAndReturnsTheErrorAnswer)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;
    const QString answer = http.PostTemplateMessage(R"({"touser":"oA"})", QString());
    EXPECT_TRUE(answer.startsWith(R"({"errcode":41001,"errmsg":"access_token missing rid: )")) << answer.toStdString();
    EXPECT_EQ(fake.requests()[0].target, kTemplatePath + "?access_token=");
}

TEST(HttpClient, GetUsesGetAndEncodesOnlyWhatNeedsIt)
{
    FakeWeChat fake;
    fake.setFollowers({QStringLiteral("o+data/1=&x"), QStringLiteral("oPlain_-.~9")});
    ScopedApiBase base(fake);
    HttpClient http;

    const QString odd = QStringLiteral("o+data/1=&x");
    const QString answer = http.HttpGet(apiUrl("/cgi-bin/user/info?access_token=" + urlValue("A+b/c=")
                                               + "&openid=" + urlValue(odd) + "&lang=zh_CN"));
    const auto profile = ParseJson(answer);
    ASSERT_TRUE(profile) << answer.toStdString();
    EXPECT_EQ(profile->value("openid").toString(), odd);

    http.HttpGet(apiUrl("/cgi-bin/user/info?access_token=" + urlValue("91_AbC-x") + "&openid="
                        + urlValue("oPlain_-.~9") + "&lang=zh_CN"));
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target,
              "/cgi-bin/user/info?access_token=A%2Bb%2Fc%3D&openid=o%2Bdata%2F1%3D%26x&lang=zh_CN");
    EXPECT_EQ(requests[1].target, "/cgi-bin/user/info?access_token=91_AbC-x&openid=oPlain_-.~9&lang=zh_CN");
    EXPECT_EQ(requests[1].header("Content-Type"),
              QStringList{QStringLiteral("application/x-www-form-urlencoded")});

    // The posts encode their token too.
    http.PostCustomMessage(R"({"touser":"oA"})", "A+b/c=");
    EXPECT_EQ(fake.sends()[0].token, "A+b/c=");
}

TEST(HttpClient, ErrorStatusesComeBackAsAnswers)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;

    const QString missing = http.HttpGet(apiUrl("/no/such/path"));
    EXPECT_EQ(http.lastStatus(), 404);
    EXPECT_TRUE(missing.contains("404 Not Found"));

    fake.failNext(kTemplatePath, 1, FakeWeChat::Fault::serverError());
    const QString page = http.PostTemplateMessage(R"({"touser":"oA"})", "T");
    EXPECT_EQ(http.lastStatus(), 500);
    EXPECT_TRUE(page.startsWith("<html>"));
    EXPECT_FALSE(ParseJson(page)) << "an HTML page is no object";

    // The failure was for one request only.
    EXPECT_TRUE(http.PostTemplateMessage(R"({"touser":"oA"})", "T").startsWith(R"({"errcode":0,)"));
}

TEST(HttpClient, TransportFailuresRaiseWithAReasonAndTheClientCarriesOn)
{
    FakeWeChat fake;
    ScopedApiBase base(fake);
    HttpClient http;

    fake.failNext(kCustomPath, 1, FakeWeChat::Fault::drop());
    try {
        http.PostCustomMessage(R"({"touser":"oA"})", "T");
        FAIL() << "a dropped connection must raise";
    } catch (const HttpError &e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
    EXPECT_EQ(http.PostCustomMessage(R"({"touser":"oA"})", "T"), R"({"errcode":0,"errmsg":"ok"})");

    // Nothing listens on a port the fake held a moment ago.
    QString closedBase;
    {
        FakeWeChat gone;
        closedBase = gone.base();
    }
    try {
        http.HttpGet(closedBase + "/cgi-bin/user/get?access_token=T");
        FAIL() << "a refused connection must raise";
    } catch (const HttpError &e) {
        EXPECT_NE(std::string(e.what()).find("connect"), std::string::npos) << e.what();
    }

    // TLS is required to succeed: a plain HTTP server behind an https URL fails the handshake.
    EXPECT_THROW(http.HttpGet(QStringLiteral("https://127.0.0.1:%1/cgi-bin/token").arg(fake.port())),
                 HttpError);
    // Only http and https are spoken.
    EXPECT_THROW(http.HttpGet(QStringLiteral("file:///etc/hostname")), HttpError);
}

TEST(HttpClient, OneConnectionServesManyRequests)
{
    FakeWeChat fake;
    fake.setFollowerCount(3);
    ScopedApiBase base(fake);
    {
        HttpClient http;
        for (int i = 0; i < 5; ++i) {
            http.PostTemplateMessage(R"({"touser":"oA"})", "T");
            http.HttpGet(apiUrl("/cgi-bin/user/get?access_token=T"));
            http.Post(apiUrl("/cgi-bin/token?grant_type=client_credential&appid=a&secret=b"));
        }
    }
    EXPECT_EQ(fake.requests().size(), 15u);
    EXPECT_EQ(fake.connectionCount(), 1);
}

TEST(HttpClient, ApiBaseComesFromTheEnvironmentOrTheConstant)
{
    {
        ScopedApiBase base(QStringLiteral("http://127.0.0.1:9/"));
        EXPECT_EQ(apiUrl("/cgi-bin/token"), "http://127.0.0.1:9/cgi-bin/token");
    }
    {
        ScopedApiBase base{QString()}; // empty counts as unset
        EXPECT_EQ(apiUrl("/cgi-bin/token"), "https://api.weixin.qq.com/cgi-bin/token");
    }
}

TEST(ParseJson, ReadsObjectsAndRefusesEverythingElse)
{
    const auto ok = ParseJson(R"({"errcode":0,"errmsg":"ok","msgid":3717005636572528642})");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->value("errcode").toInt(-1), 0);
    EXPECT_EQ(ok->value("errmsg").toString(), "ok");
    EXPECT_EQ(ok->value("msgid").toInteger(), 3717005636572528642LL) << "msgid needs 64 bits";

    const auto list = ParseJson(R"( {"data":{"openid":["b","a","data"]}} )");
    ASSERT_TRUE(list);
    const auto openids = list->value("data").toObject().value("openid").toArray();
    ASSERT_EQ(openids.size(), 3);
    EXPECT_EQ(openids[0].toString(), "b");
    EXPECT_EQ(openids[2].toString(), "data");

    EXPECT_FALSE(ParseJson("<html><body>502 Bad Gateway</body></html>"));
    EXPECT_FALSE(ParseJson(""));
    EXPECT_FALSE(ParseJson(R"({"errcode":0,)"));
    EXPECT_FALSE(ParseJson("[1,2]"));
    EXPECT_FALSE(ParseJson("91_FakeAccessToken"));
}
