// The HTTP clients against the fake WeChat API: requests as sent, answers whatever the status,
// failures told apart by whether anything went out, answers bounded.
#include "core/app_context.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;
using testsupport::ScopedApiBase;

namespace {

const QString kTemplatePath = QString::fromLatin1(endpoint::kTemplateSend);
const QString kCustomPath = QString::fromLatin1(endpoint::kCustomSend);

// Every answer of the requests started so far, in the order they ended.
std::vector<HttpMulti::Answer> drain(HttpMulti &multi)
{
    std::vector<HttpMulti::Answer> all;
    while (multi.inFlight() > 0)
        for (HttpMulti::Answer &answer : multi.wait(1000))
            all.push_back(std::move(answer));
    return all;
}

// A base URL where nothing listens: the port a fake held a moment ago.
QString refusingBase()
{
    FakeWeChat gone;
    return gone.base();
}

const QString kTokenUrlPath =
    QStringLiteral("/cgi-bin/token?grant_type=client_credential&appid=a&secret=b");

class Http : public ::testing::Test {
protected:
    Http() : api(fake) {}
    FakeWeChat fake;
    ScopedApiBase api;
    const QByteArray body =
        QByteArrayLiteral(R"({"touser":"oA","data":{"k":{"value":"您好，订单已发货"}}})");
};

} // namespace

TEST_F(Http, PostsInFlightComeBackByTagWithTheirStatus)
{
    fake.failNext(kCustomPath, 1, FakeWeChat::Fault::serverError());
    // Large enough that curl would announce it with "Expect: 100-continue", a round trip of its
    // own.
    const QByteArray large =
        R"({"touser":"oA","text":{"content":")" + QByteArray(200000, 'x') + R"("}})";
    HttpMulti multi(3);
    multi.start(1, messageUrl(1, "A+b/c="), true, large);
    multi.start(2, messageUrl(2, "T"), true, body);
    multi.start(3, apiUrl("/no/such/path"));
    EXPECT_FALSE(multi.hasFreeSlot());
    EXPECT_THROW(multi.start(4, messageUrl(1, "T"), true, body), HttpError);

    std::map<quint64, HttpMulti::Answer> byTag;
    for (HttpMulti::Answer &answer : drain(multi))
        byTag[answer.tag] = std::move(answer);
    ASSERT_EQ(byTag.size(), 3u);
    EXPECT_EQ(byTag[1].status, 200);
    EXPECT_TRUE(byTag[1].body.startsWith(R"({"errcode":0,"errmsg":"ok","msgid":)"));
    EXPECT_EQ(byTag[2].status, 500);
    EXPECT_TRUE(byTag[2].body.startsWith("<html>"));
    EXPECT_EQ(byTag[3].status, 404);
    for (const auto &[tag, answer] : byTag)
        EXPECT_EQ(answer.failure, HttpMulti::Failure::None) << tag;

    const auto sends = fake.sends();
    ASSERT_EQ(sends.size(), 2u);
    for (const auto &send : sends) // UTF-8 on the wire, Chinese text not escaped
        EXPECT_TRUE(send.body == (send.path == kTemplatePath ? large : body))
            << send.path.toStdString();
    for (const auto &request : fake.requests()) {
        EXPECT_EQ(request.method, request.path == "/no/such/path" ? "GET" : "POST");
        EXPECT_EQ(request.header("Content-Type"), QStringList{"application/x-www-form-urlencoded"});
        EXPECT_TRUE(request.header("Expect").isEmpty());
        if (request.path == kTemplatePath) {
            EXPECT_EQ(request.target, kTemplatePath + "?access_token=A%2Bb%2Fc%3D");
        }
    }
    // Only what needs it is encoded, and an empty token leaves nothing after the equals sign.
    EXPECT_EQ(urlValue("oPlain_-.~9"), "oPlain_-.~9");
    EXPECT_EQ(messageUrl(2, QString()), apiUrl(kCustomPath + "?access_token="));
}

TEST_F(Http, FailuresSayWhetherTheRequestWentOutAndNoneIsSentTwice)
{
    // Refused: nothing can have reached a server.
    {
        HttpMulti multi(1);
        multi.start(1, refusingBase() + kTemplatePath, true, body);
        const auto answers = drain(multi);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].failure, HttpMulti::Failure::NothingSent)
            << answers[0].error.toStdString();
    }
    // Cut off mid-answer, and closed unanswered on a kept-alive connection: the post went out.
    // A dead kept-alive connection is where libcurl would send the post once more by itself.
    HttpMulti multi(1);
    for (const FakeWeChat::Fault &fault :
         {FakeWeChat::Fault::closeAfterBody(), FakeWeChat::Fault::drop()}) {
        multi.start(1, messageUrl(1, "T"), true, body);
        ASSERT_EQ(drain(multi).at(0).failure, HttpMulti::Failure::None);
        fake.failNext(kTemplatePath, 1, fault);
        multi.start(2, messageUrl(1, "T"), true, body);
        const auto answers = drain(multi);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].failure, HttpMulti::Failure::NoAnswer)
            << answers[0].error.toStdString();
        EXPECT_FALSE(answers[0].error.isEmpty());
    }
    EXPECT_EQ(fake.sendCount(), 4) << "no post was sent again behind the caller's back";
}

TEST_F(Http, AnAnswerThatNeverEndsStopsAtTheBound)
{
    fake.failNext(kTemplatePath, 1, FakeWeChat::Fault::endless());
    HttpMulti multi(1);
    multi.start(1, messageUrl(1, "T"), true, body);
    const auto answers = drain(multi);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].failure, HttpMulti::Failure::NoAnswer);
    EXPECT_EQ(answers[0].error, "回答超过1 MiB，已停止接收");

    // The token client stops the same way.
    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::endless());
    HttpClient http;
    try {
        http.Post(apiUrl(kTokenUrlPath));
        FAIL() << "an endless answer must raise";
    } catch (const HttpError &e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), answers[0].error);
    }
}

TEST_F(Http, ClientPostsOnOneConnectionAndReturnsAnswersWhateverTheStatus)
{
    {
        HttpClient http;
        EXPECT_TRUE(http.Post(apiUrl(kTokenUrlPath)).startsWith(R"({"access_token":)"));
        EXPECT_EQ(http.lastStatus(), 200);
        EXPECT_TRUE(http.Post(apiUrl("/no/such/path")).contains("404 Not Found"));
        EXPECT_EQ(http.lastStatus(), 404);
        http.PostJson(apiUrl(endpoint::kStableToken), R"({"grant_type":"client_credential"})");
    }
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].header("Content-Type"), QStringList{"application/x-www-form-urlencoded"});
    EXPECT_EQ(requests[2].header("Content-Type"), QStringList{"application/json"});
    EXPECT_EQ(fake.connectionCount(), 1);
}

TEST_F(Http, ClientTransportFailuresRaiseWithAReasonAndTheClientCarriesOn)
{
    HttpClient http;
    const QString url = apiUrl(kTokenUrlPath);

    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::drop());
    EXPECT_THROW(http.Post(url), HttpError);
    EXPECT_TRUE(http.Post(url).startsWith(R"({"access_token":)"));

    try {
        http.Post(refusingBase() + "/cgi-bin/token");
        FAIL() << "a refused connection must raise";
    } catch (const HttpError &e) {
        EXPECT_NE(std::string(e.what()).find("connect"), std::string::npos) << e.what();
    }
    // TLS is required to succeed: a plain HTTP server behind an https URL fails the handshake.
    EXPECT_THROW(http.Post(QString(fake.base()).replace("http:", "https:") + "/cgi-bin/token"),
                 HttpError);
    // Only http and https are spoken.
    EXPECT_THROW(http.Post(QStringLiteral("file:///etc/hostname")), HttpError);
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

    EXPECT_TRUE(ParseJson(R"( {"data":{"openid":["b","a","data"]}} )")) << "blanks around it";
    for (const char *text : {"<html><body>502 Bad Gateway</body></html>", "", R"({"errcode":0,)",
                             "[1,2]", "91_FakeAccessToken", R"({"errcode":0}<!-- cache -->)"})
        EXPECT_FALSE(ParseJson(QString::fromUtf8(text))) << text;

    // The leading object is read whatever follows it; nothing is read where none leads.
    const auto leading = LeadingJsonObject(" {\"errcode\":0,\"errmsg\":\"ok\"}\r\n<!-- cache -->");
    ASSERT_TRUE(leading);
    EXPECT_EQ(leading->value("errcode").toInt(-1), 0);
    EXPECT_FALSE(LeadingJsonObject(R"(<html>{"errcode":0}</html>)"));
    EXPECT_FALSE(LeadingJsonObject(R"({"errcode":0,)"));
}
