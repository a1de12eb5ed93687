// The access token: cache age by the database clock, renewal and its three rows, the stable token,
// the central server.
#include "core/database.h"
#include "core/http_client.h"
#include "core/settings.h"
#include "core/token_manager.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <optional>

using namespace veltrano;
using testsupport::FakeWeChat;
using testsupport::ScopedApiBase;

namespace {

struct Rows {
    std::optional<QString> token, lifetime, inTime;
    bool operator==(const Rows &) const = default;
};

// A SQLite message database in a fresh application folder, the fake API, and a client for it.
class TokenTest : public ::testing::Test {
protected:
    TokenTest() : base(fake)
    {
        testsupport::liveSettings().update([](Settings &s) {
            s = Settings();
            s.driver = QStringLiteral("sqlite");
            s.db = QStringLiteral("veltrano.db");
        });
        Database created(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
        ForgetForcedRefreshes();
        SetForcedRefreshClock([this] { return clock; });
    }
    ~TokenTest() override
    {
        testsupport::liveSettings().update([](Settings &s) { s = Settings(); });
        ForgetForcedRefreshes();
        SetForcedRefreshClock({});
    }

    // The account as a caller of the settings overload holds it; the connection is the fixture's.
    Settings account(const QString &mode)
    {
        Settings s = testsupport::liveSettings().snapshot();
        s.appid = QStringLiteral("wx1");
        s.appsecret = QStringLiteral("secret");
        s.get_token_mod = mode;
        s.token_server = fake.centralServerUrl();
        return s;
    }

    // Both clocks the 30 s rule meets: the manager's and the fake's.
    void advance(int seconds)
    {
        clock += std::chrono::seconds(seconds);
        fake.advanceStableClock(seconds);
    }

    // The errcode a template post with this token gets.
    int postWith(const QString &token)
    {
        const auto answer = ParseJson(http.Post(messageUrl(1, token), R"({"touser":"o1"})"));
        return answer ? answer->value(QStringLiteral("errcode")).toInt(-99) : -99;
    }

    void run(const QString &statement, const QVariantList &values = {})
    {
        Database db(testsupport::liveSettings().snapshot());
        db.exec(statement, values);
    }

    void setParam(const QString &name, const QString &value)
    {
        run(QStringLiteral("update sysParam set ParamValue=? where ParamName=?"), {value, name});
    }

    std::optional<QString> param(const QString &name)
    {
        Database db(testsupport::liveSettings().snapshot());
        QSqlQuery q =
            db.exec(QStringLiteral("select ParamValue from sysParam where ParamName=?"), {name});
        if (!q.next() || q.value(0).isNull())
            return std::nullopt;
        return q.value(0).toString();
    }

    Rows rows() { return {param("access_token"), param("expires_in"), param("in_time")}; }

    // The database clock in seconds, local time as the dialect keeps it.
    qint64 dbNow()
    {
        Database db(testsupport::liveSettings().snapshot());
        QSqlQuery q =
            db.exec(QStringLiteral("select cast(strftime('%s', 'now', 'localtime') as integer)"));
        q.next();
        return q.value(0).toLongLong();
    }

    qint64 tokenAge()
    {
        Database db(testsupport::liveSettings().snapshot());
        QSqlQuery q = db.exec(db.sql().tokenAge);
        q.next();
        return q.value(0).toLongLong();
    }

    struct Outcome {
        QString token;
        int exchanges = -1; // token requests the call made
    };

    // The cache written as `age` seconds old, to the second, then one direct-mode call. The call is
    // repeated when the database clock turned a second between the write and the call, so the age
    // the manager saw is exactly `age`.
    Outcome tokenAtAge(qint64 age)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            setParam("access_token", "CACHED");
            setParam("expires_in", "7200");
            const qint64 before = dbNow();
            run(QStringLiteral(
                    "update sysParam set ParamValue=strftime('%Y-%m-%d %H:%M:%S', ?, 'unixepoch') "
                    "where ParamName='in_time'"),
                {before - age});
            const int calls = fake.tokenCalls();
            const QString token = GetAccessToken(testsupport::liveSettings().snapshot(), "wx1",
                                                 "secret", "1", QString(), http);
            if (dbNow() == before)
                return {token, fake.tokenCalls() - calls};
        }
        ADD_FAILURE() << "the database clock never stood still for one call";
        return {};
    }

    void makeStale() { setParam("in_time", "2020-01-01 00:00"); }
    void makeFresh(const QString &token)
    {
        setParam("access_token", token);
        setParam("expires_in", "7200");
        Database db(testsupport::liveSettings().snapshot());
        db.exec(db.sql().touchInTime);
    }

    std::chrono::steady_clock::time_point clock{std::chrono::hours(1)};

    testsupport::TempAppFolder folder;
    FakeWeChat fake;
    ScopedApiBase base;
    HttpClient http;
};

} // namespace

TEST_F(TokenTest, AgeOf6000SecondsKeepsTheCachedTokenAnd6001Renews)
{
    const Outcome at6000 = tokenAtAge(6000);
    EXPECT_EQ(at6000.token, "CACHED");
    EXPECT_EQ(at6000.exchanges, 0);
    const Outcome atZero = tokenAtAge(0);
    EXPECT_EQ(atZero.token, "CACHED");
    EXPECT_EQ(atZero.exchanges, 0);

    const Outcome at6001 = tokenAtAge(6001);
    const QString renewed = at6001.token;
    EXPECT_EQ(at6001.exchanges, 1);
    EXPECT_EQ(renewed, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), renewed);
    EXPECT_EQ(param("expires_in"), "7200");
    const qint64 age = tokenAge();
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 120) << "in_time is the database's time now, to the minute";

    // Fresh again: the next call takes the new token from the cache.
    const int calls = fake.tokenCalls();
    EXPECT_EQ(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1",
                             QString(), http),
              renewed);
    EXPECT_EQ(fake.tokenCalls(), calls);
}

TEST_F(TokenTest, AnEmptyOrUnusableCacheIsNeverUsed)
{
    const auto renews = [this](const char *what) {
        const int calls = fake.tokenCalls();
        const QString token = GetAccessToken(account("1"), http);
        EXPECT_EQ(token, fake.lastIssuedToken()) << what;
        EXPECT_EQ(fake.tokenCalls(), calls + 1) << what;
        EXPECT_EQ(param("access_token"), fake.lastIssuedToken()) << what;
    };
    for (const char *inTime : {"", "not a time", "2999-01-01 00:00"}) {
        makeFresh("CACHED");
        setParam("in_time", inTime);
        renews(inTime);
    }
    makeFresh("CACHED");
    run(QStringLiteral("update sysParam set ParamValue=NULL where ParamName='in_time'"));
    renews("NULL in_time");
    for (const char *token : {"", "<html><body>502</body></html>", "A B"}) {
        makeFresh(token);
        renews(token);
    }
    makeFresh("CACHED");
    run(QStringLiteral("update sysParam set ParamValue=NULL where ParamName='access_token'"));
    renews("NULL access_token");

    // Without an in_time row the age is never known: every call renews rather than trusting it.
    run(QStringLiteral("delete from sysParam where ParamName='in_time'"));
    renews("no in_time row");
    renews("no in_time row, again");
}

TEST_F(TokenTest, ARefusedExchangeLeavesTheThreeRowsAndTheNextCallAsksAgain)
{
    setParam("access_token", "OLD");
    setParam("expires_in", "7200");
    makeStale();
    const Rows before = rows();

    fake.failNext("/cgi-bin/token", -1, FakeWeChat::Fault::error(40013, "invalid appid"));
    try {
        GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1", QString(),
                       http);
        FAIL() << "an error answer must raise";
    } catch (const TokenError &e) {
        const QString message = QString::fromUtf8(e.what());
        EXPECT_TRUE(message.startsWith(R"({"errcode":40013,"errmsg":"invalid appid rid: )"))
            << e.what();
    }
    EXPECT_EQ(rows(), before);

    // Answers that are no token at all: an error page, a lifetime beyond 16 bits, no token text.
    const QStringList unusable{QStringLiteral("<html><body>502 Bad Gateway</body></html>"),
                               QStringLiteral(R"({"access_token":"T","expires_in":40000})"),
                               QStringLiteral(R"({"access_token":"T"})"),
                               QStringLiteral(R"({"access_token":"","expires_in":7200})"),
                               QStringLiteral(R"({"access_token":"<b>T</b> x","expires_in":7200})"),
                               QStringLiteral(R"({"expires_in":7200})")};
    fake.clearFaults();
    for (const QString &answer : unusable) {
        fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::answer(answer));
        try {
            GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1", QString(),
                           http);
            ADD_FAILURE() << "accepted " << answer.toStdString();
        } catch (const TokenError &e) {
            EXPECT_EQ(QString::fromUtf8(e.what()), answer);
        }
        EXPECT_EQ(rows(), before) << answer.toStdString();
    }
    // An empty answer says so instead of leaving nothing after the colon.
    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::answer(""));
    try {
        GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1", QString(),
                       http);
        ADD_FAILURE() << "accepted an empty answer";
    } catch (const TokenError &e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), "回答为空（HTTP 200）");
    }

    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::drop());
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1",
                                QString(), http),
                 HttpError);
    EXPECT_EQ(rows(), before);

    const QString token = GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret",
                                         "1", QString(), http);
    EXPECT_EQ(fake.tokenCalls(), 10);
    EXPECT_EQ(token, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), token);
}

TEST_F(TokenTest, RenewalStoresTheLifetimeAndSendsTheCredentialsEncoded)
{
    makeStale();
    fake.setCredentials("wx1&x", "s+c/r=t");
    fake.setTokenLifetime(5400);
    const QString token = GetAccessToken(testsupport::liveSettings().snapshot(), "wx1&x", "s+c/r=t",
                                         "1", QString(), http);
    EXPECT_EQ(token, fake.lastIssuedToken());
    EXPECT_EQ(param("expires_in"), "5400");
    EXPECT_EQ(fake.requests()[0].method, "POST");
    EXPECT_EQ(fake.requests()[0].target,
              "/cgi-bin/token?grant_type=client_credential&appid=wx1%26x&secret=s%2Bc%2Fr%3Dt");
}

TEST_F(TokenTest, ForcedRenewalAsksEvenThoughTheCacheIsFresh)
{
    makeFresh("CACHED");
    EXPECT_EQ(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "1",
                             QString(), http),
              "CACHED");
    const QString token = GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret",
                                         "1", QString(), http, true);
    EXPECT_EQ(token, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), token);
    EXPECT_EQ(param("expires_in"), "7200");
    EXPECT_EQ(fake.tokenCalls(), 1);
}

TEST_F(TokenTest, ModeTextIsANumberWithBlanksAllowed)
{
    makeFresh("CACHED");
    for (const char *mode : {"1", " 1", "01", "1 ", "1.0"})
        EXPECT_EQ(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", mode,
                                 fake.centralServerUrl(), http),
                  "CACHED")
            << mode;
    EXPECT_EQ(fake.centralCalls(), 0);

    for (const char *mode : {"", " ", "abc", "1a", "nan"})
        EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", mode,
                                    fake.centralServerUrl(), http),
                     TokenError)
            << "'" << mode << "'";
    EXPECT_TRUE(fake.requests().empty()) << "nothing is requested for a mode that is no number";

    // Every number but 1 and 3 has always meant the central server.
    for (const char *mode : {"2", "0", "-3", "1.5"})
        EXPECT_FALSE(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", mode,
                                    fake.centralServerUrl(), http)
                         .isEmpty());
    EXPECT_EQ(fake.centralCalls(), 4);
}

TEST_F(TokenTest, CentralServerIsPostedToTrimmedAndTouchesNoRow)
{
    setParam("access_token", "CACHED");
    makeStale();
    const Rows before = rows();
    // Not even a database is needed: the connection settings below could not be opened.
    testsupport::liveSettings().update(
        [](Settings &s) { s.driver = QStringLiteral("no such driver"); });

    const QString token = GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret",
                                         "2", fake.centralServerUrl(), http);
    EXPECT_EQ(token, fake.lastIssuedToken()) << "the answer's line break is gone";
    EXPECT_FALSE(token.contains('\n'));
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/central/token");
    EXPECT_EQ(requests[0].header("Content-Length"), QStringList{"0"});

    fake.failNext("/central/token", 2,
                  FakeWeChat::Fault::answer(" \t TOKEN_FROM_CENTRAL \r\n\r\n"));
    EXPECT_EQ(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                             fake.centralServerUrl(), http),
              "TOKEN_FROM_CENTRAL");
    // A forced renewal simply asks again.
    EXPECT_EQ(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                             fake.centralServerUrl(), http, true),
              "TOKEN_FROM_CENTRAL");
    EXPECT_EQ(fake.centralCalls(), 3);
    EXPECT_EQ(fake.tokenCalls(), 0);

    testsupport::liveSettings().update([](Settings &s) { s.driver = QStringLiteral("sqlite"); });
    EXPECT_EQ(rows(), before);
}

TEST_F(TokenTest, CentralServerFailuresRaise)
{
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                                QString(), http),
                 TokenError);
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2", "  ",
                                http),
                 TokenError);
    EXPECT_TRUE(fake.requests().empty());

    // An error page or an empty answer is no token.
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                                fake.base() + "/central/nothing", http),
                 TokenError);
    fake.failNext("/central/token", 1, FakeWeChat::Fault::serverError());
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                                fake.centralServerUrl(), http),
                 TokenError);
    fake.failNext("/central/token", 1, FakeWeChat::Fault::answer("\r\n"));
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                                fake.centralServerUrl(), http),
                 TokenError);

    // A 200 answer that cannot be a token: markup, white space inside, JSON, too long.
    for (const QString &answer :
         {QStringLiteral("<html><body>登录</body></html>"), QStringLiteral("TOKEN PART2"),
          QStringLiteral(R"({"errcode":40013,"errmsg":"invalid appid"})"), QStringLiteral("\"T\""),
          QString(513, u'T')}) {
        fake.failNext("/central/token", 1, FakeWeChat::Fault::answer(answer));
        try {
            GetAccessToken(account("2"), http);
            ADD_FAILURE() << "accepted " << answer.toStdString();
        } catch (const TokenError &e) {
            EXPECT_TRUE(
                QString::fromUtf8(e.what()).startsWith("中控服务器返回的不是 access_token（"))
                << e.what();
        }
    }
    fake.failNext("/central/token", 1, FakeWeChat::Fault::answer(QString(512, u'T')));
    EXPECT_EQ(GetAccessToken(account("2"), http), QString(512, u'T'));

    fake.failNext("/central/token", 1, FakeWeChat::Fault::drop());
    EXPECT_THROW(GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", "2",
                                fake.centralServerUrl(), http),
                 HttpError);
}

TEST_F(TokenTest, ARefusedTokenIsRenewedOnlyWhileTheCacheStillHoldsIt)
{
    makeFresh("CACHED");
    const QString renewed = GetAccessToken(account("1"), http, "CACHED");
    EXPECT_EQ(renewed, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), renewed);
    EXPECT_EQ(fake.tokenCalls(), 1);

    // Another copy of the batch was refused the same token: the cache already holds a newer one.
    EXPECT_EQ(GetAccessToken(account("1"), http, "CACHED"), renewed);
    EXPECT_EQ(fake.tokenCalls(), 1);

    // The central server is simply asked again.
    const int central = fake.centralCalls();
    const QString central2 = GetAccessToken(account("2"), http, renewed);
    EXPECT_EQ(central2, fake.lastIssuedToken());
    EXPECT_EQ(fake.centralCalls(), central + 1);
}

TEST_F(TokenTest, StableTokenIsFetchedAsJsonCachedAndSharedByEveryCaller)
{
    makeStale();
    const QString token = GetAccessToken(account("3"), http);
    EXPECT_EQ(token, fake.stableToken());
    EXPECT_EQ(param("access_token"), token);
    EXPECT_EQ(param("expires_in"), "7200");
    EXPECT_LT(tokenAge(), 120);
    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/cgi-bin/stable_token");
    EXPECT_EQ(requests[0].header("Content-Type"), QStringList{"application/json"});
    EXPECT_EQ(ParseJson(QString::fromUtf8(fake.lastStableTokenBody())),
              QJsonObject({{"grant_type", "client_credential"},
                           {"appid", "wx1"},
                           {"secret", "secret"},
                           {"force_refresh", false}}));

    // Fresh: taken from the cache, no request.
    EXPECT_EQ(GetAccessToken(account("3"), http), token);
    EXPECT_EQ(fake.stableTokenCalls(), 1);
    // Old: renewed in normal mode, which hands back the same token while it has long to live.
    makeStale();
    EXPECT_EQ(GetAccessToken(account("3"), http), token);
    EXPECT_EQ(fake.stableTokenCalls(), 2);
    EXPECT_EQ(fake.forcedStableCalls(), 0);
    EXPECT_EQ(fake.tokenCalls(), 0);

    // A token handed out near its end is cached only for what is left of it, less five minutes.
    advance(7200 - 400);
    makeStale();
    EXPECT_EQ(GetAccessToken(account("3"), http), token);
    EXPECT_EQ(param("expires_in"), "400");
    EXPECT_EQ(GetAccessToken(account("3"), http), token) << "100 s of cache left";
    EXPECT_EQ(fake.stableTokenCalls(), 3);
    advance(120);
    setParam("expires_in", "200"); // what is left of it now: past the margin, renewed
    const QString next = GetAccessToken(account("3"), http);
    EXPECT_NE(next, token);
    EXPECT_EQ(next, fake.stableToken());
    EXPECT_EQ(fake.forcedStableCalls(), 0);
}

TEST_F(TokenTest, AnotherProgramsExchangeLeavesTheStableTokenWorking)
{
    fake.setStaleOnIssue(true);
    makeStale();
    const QString stable = GetAccessToken(account("3"), http);
    EXPECT_EQ(postWith(stable), 0);

    // "Another program" exchanges at /cgi-bin/token twice: its first token falls, ours stands.
    HttpClient other;
    const QString url =
        fake.base() + "/cgi-bin/token?grant_type=client_credential&appid=wx1&secret=secret";
    const QString first = ParseJson(other.Post(url))->value("access_token").toString();
    other.Post(url);
    EXPECT_EQ(postWith(first), 40001);
    EXPECT_EQ(postWith(stable), 0);
    EXPECT_EQ(GetAccessToken(account("3"), http), stable);
}

TEST_F(TokenTest, ARefusedStableTokenForcesOneRefreshAndNotAgainWithin30Seconds)
{
    makeStale();
    const QString first = GetAccessToken(account("3"), http);

    const QString second = GetAccessToken(account("3"), http, first);
    EXPECT_NE(second, first);
    EXPECT_EQ(param("access_token"), second);
    EXPECT_EQ(fake.forcedStableCalls(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(fake.lastStableTokenBody()).object().value("force_refresh"),
              true);
    EXPECT_EQ(postWith(first), 40001) << "a forced refresh ends the previous stable token";
    EXPECT_EQ(postWith(second), 0);

    // Refused again 29 s later: a normal call, never a second force so soon.
    advance(29);
    EXPECT_EQ(GetAccessToken(account("3"), http, second), second);
    EXPECT_EQ(fake.forcedStableCalls(), 1);
    EXPECT_EQ(fake.stableTokenCalls(), 3);

    // Another appid has 30 s of its own (the fake, one account, declines so soon and says so with
    // the same token); the same appid may force again once 30 s have passed.
    Settings otherAccount = account("3");
    otherAccount.appid = "wx2";
    EXPECT_EQ(GetAccessToken(otherAccount, http, second), second);
    EXPECT_EQ(fake.forcedStableCalls(), 2);
    advance(1);
    const QString third = GetAccessToken(account("3"), http, fake.stableToken());
    EXPECT_EQ(fake.forcedStableCalls(), 3);
    EXPECT_EQ(third, fake.stableToken());
}

TEST_F(TokenTest, StableTokenErrorsLeaveTheCache)
{
    makeFresh("CACHED");
    // WeChat allows 20 forced refreshes a day, then answers 45009.
    for (int i = 0; i < 20; ++i) {
        advance(30);
        GetAccessToken(account("3"), http, param("access_token").value_or(""));
    }
    EXPECT_EQ(fake.forcedStableCalls(), 20);
    advance(30);
    const Rows used = rows();
    try {
        GetAccessToken(account("3"), http, param("access_token").value_or(""));
        ADD_FAILURE() << "a refused refresh must raise";
    } catch (const TokenError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(R"({"errcode":45009,)")) << e.what();
    }
    EXPECT_EQ(rows(), used);

    // An answer that cannot be a token changes nothing either.
    makeFresh("CACHED");
    makeStale();
    fake.failNext("/cgi-bin/stable_token", 1,
                  FakeWeChat::Fault::answer("<html><body>502 Bad Gateway</body></html>"));
    EXPECT_THROW(GetAccessToken(account("3"), http), TokenError);
    EXPECT_EQ(param("access_token"), "CACHED");
}
