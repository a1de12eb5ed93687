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
    Settings account(const QString &mode, const QString &appid = QStringLiteral("wx1"))
    {
        Settings s = testsupport::liveSettings().snapshot();
        s.appid = appid;
        s.appsecret = QStringLiteral("secret");
        s.get_token_mod = mode;
        s.token_server = fake.centralServerUrl();
        return s;
    }

    // The token in `mode` through the settings overload, after a post refused `refused`.
    QString fetch(const QString &mode, const QString &refused = {})
    {
        return GetAccessToken(account(mode), http, refused);
    }

    // The same account through the overload that names it field by field.
    QString ask(const QString &mode, const QString &server = {}, bool force = false)
    {
        return GetAccessToken(testsupport::liveSettings().snapshot(), "wx1", "secret", mode, server,
                              http, force);
    }

    // Both clocks the 30 s rule meets: the manager's and the fake's.
    void advance(int seconds)
    {
        clock += std::chrono::seconds(seconds);
        fake.advanceStableClock(seconds);
    }

    // The one request the fake saw, as "METHOD target", with one header's values when named.
    QString onlyRequest(const QString &header = {})
    {
        const auto requests = fake.requests();
        if (requests.size() != 1)
            return QStringLiteral("%1 requests").arg(requests.size());
        const auto &r = requests[0];
        return r.method + ' ' + r.target
               + (header.isEmpty() ? QString() : ' ' + header + ": " + r.header(header).join(','));
    }

    // The message of the TokenError the call raises.
    template <typename Call>
    static QString tokenError(Call call)
    {
        try {
            call();
        } catch (const TokenError &e) {
            return QString::fromUtf8(e.what());
        }
        return QStringLiteral("(no TokenError)");
    }

    // The errcode a template post with this token gets.
    int postWith(const QString &token)
    {
        const auto answer = ParseJson(http.Post(messageUrl(1, token), R"({"touser":"o1"})"));
        return answer ? answer->value(QStringLiteral("errcode")).toInt(-99) : -99;
    }

    // The first column of the first row, or an invalid value when there is none.
    QVariant scalar(const QString &statement, const QVariantList &values = {})
    {
        Database db(testsupport::liveSettings().snapshot());
        QSqlQuery q = db.exec(statement, values);
        return q.next() ? q.value(0) : QVariant();
    }

    void setParam(const QString &name, const QVariant &value)
    {
        scalar(QStringLiteral("update sysParam set ParamValue=? where ParamName=?"), {value, name});
    }

    std::optional<QString> param(const QString &name)
    {
        const QVariant value =
            scalar(QStringLiteral("select ParamValue from sysParam where ParamName=?"), {name});
        return value.isNull() ? std::nullopt : std::optional(value.toString());
    }

    Rows rows() { return {param("access_token"), param("expires_in"), param("in_time")}; }

    qint64 tokenAge() { return scalar(statementsFor(Dialect::Sqlite).tokenAge).toLongLong(); }

    struct Outcome {
        QString token;
        int exchanges = -1; // token requests the call made
    };

    // The cache written as `age` seconds old, to the second, then one direct-mode call. The call is
    // repeated when the database clock turned a second between the write and the call, so the age
    // the manager saw is exactly `age`.
    Outcome tokenAtAge(qint64 age)
    {
        const QString now =
            QStringLiteral("select cast(strftime('%s', 'now', 'localtime') as int)");
        for (int attempt = 0; attempt < 20; ++attempt) {
            makeFresh("CACHED");
            const qint64 before = scalar(now).toLongLong();
            scalar(QStringLiteral("update sysParam set ParamValue=strftime('%Y-%m-%d %H:%M:%S', ?, "
                                  "'unixepoch') where ParamName='in_time'"),
                   {before - age});
            const int calls = fake.tokenCalls();
            const QString token = ask("1");
            if (scalar(now).toLongLong() == before)
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
        scalar(statementsFor(Dialect::Sqlite).touchInTime);
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
    for (const qint64 age : {6000, 0}) {
        const Outcome kept = tokenAtAge(age);
        EXPECT_EQ(kept.token, "CACHED") << age;
        EXPECT_EQ(kept.exchanges, 0) << age;
    }

    const Outcome renewed = tokenAtAge(6001);
    EXPECT_EQ(renewed.exchanges, 1);
    EXPECT_EQ(renewed.token, fake.lastIssuedToken());
    EXPECT_EQ(rows(), (Rows{renewed.token, "7200", param("in_time")}));
    const qint64 age = tokenAge();
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 120) << "in_time is the database's time now, to the minute";

    // Fresh again: the next call takes the new token from the cache.
    const int calls = fake.tokenCalls();
    EXPECT_EQ(ask("1"), renewed.token);
    EXPECT_EQ(fake.tokenCalls(), calls);
}

TEST_F(TokenTest, AnEmptyOrUnusableCacheIsNeverUsed)
{
    const auto renews = [this](const std::string &what) {
        SCOPED_TRACE(what);
        const int calls = fake.tokenCalls();
        const QString token = fetch("1");
        EXPECT_EQ(token, fake.lastIssuedToken());
        EXPECT_EQ(fake.tokenCalls(), calls + 1);
        EXPECT_EQ(param("access_token"), fake.lastIssuedToken());
    };
    const std::pair<const char *, QVariantList> spoiled[] = {
        {"in_time", {"", "not a time", "2999-01-01 00:00", QVariant()}},
        {"access_token", {"", "<html><body>502</body></html>", "A B", QVariant()}},
    };
    for (const auto &[row, values] : spoiled) {
        for (const QVariant &value : values) {
            makeFresh("CACHED");
            setParam(row, value);
            renews(std::string(row) + " '" + value.toString().toStdString() + "'");
        }
    }

    // Without an in_time row the age is never known: every call renews rather than trusting it.
    scalar(QStringLiteral("delete from sysParam where ParamName='in_time'"));
    renews("no in_time row");
    renews("no in_time row, again");
}

// Whatever the exchange answers, the three rows stay as they were until an answer holds a token;
// the failure is the answer itself, and the next call asks again.
TEST_F(TokenTest, ARefusedExchangeLeavesTheThreeRowsAndTheNextCallAsksAgain)
{
    makeFresh("OLD");
    makeStale();
    const Rows before = rows();

    // WeChat's refusal, an error page, a lifetime beyond 16 bits or none, no token text; an empty
    // answer says so instead of leaving nothing after the colon.
    const QString refusals[] = {
        R"({"errcode":40013,"errmsg":"invalid appid"})",
        "<html><body>502 Bad Gateway</body></html>",
        R"({"access_token":"T","expires_in":40000})",
        R"({"access_token":"T"})",
        R"({"access_token":"","expires_in":7200})",
        R"({"access_token":"<b>T</b> x","expires_in":7200})",
        R"({"expires_in":7200})",
        "",
    };
    for (const QString &answer : refusals) {
        fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::answer(answer));
        EXPECT_EQ(tokenError([&] { ask("1"); }),
                  answer.isEmpty() ? QStringLiteral("回答为空（HTTP 200）") : answer);
        EXPECT_EQ(rows(), before) << answer.toStdString();
    }
    fake.failNext("/cgi-bin/token", 1, FakeWeChat::Fault::drop());
    EXPECT_THROW(ask("1"), HttpError);
    EXPECT_EQ(rows(), before);

    const QString token = ask("1");
    EXPECT_EQ(fake.tokenCalls(), int(std::size(refusals)) + 2);
    EXPECT_EQ(token, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), token);
}

// A forced renewal asks though the cache is fresh; the credentials go URL-encoded and the lifetime
// WeChat gave is stored.
TEST_F(TokenTest, ForcedRenewalSendsTheCredentialsEncodedAndStoresTheLifetime)
{
    makeFresh("CACHED");
    fake.setCredentials("wx1&x", "s+c/r=t");
    fake.setTokenLifetime(5400);
    const auto direct = [this](bool force) {
        return GetAccessToken(testsupport::liveSettings().snapshot(), "wx1&x", "s+c/r=t", "1",
                              QString(), http, force);
    };
    EXPECT_EQ(direct(false), "CACHED");
    const QString token = direct(true);
    EXPECT_EQ(token, fake.lastIssuedToken());
    EXPECT_EQ(rows(), (Rows{token, "5400", param("in_time")}));
    EXPECT_EQ(onlyRequest(),
              "POST "
              "/cgi-bin/token?grant_type=client_credential&appid=wx1%26x&secret=s%2Bc%2Fr%3Dt");
}

TEST_F(TokenTest, ModeTextIsANumberWithBlanksAllowed)
{
    makeFresh("CACHED");
    const QString central = fake.centralServerUrl();
    for (const char *mode : {"1", " 1", "01", "1 ", "1.0"})
        EXPECT_EQ(ask(mode, central), "CACHED") << mode;
    EXPECT_EQ(fake.centralCalls(), 0);

    for (const char *mode : {"", " ", "abc", "1a", "nan"})
        EXPECT_THROW(ask(mode, central), TokenError) << "'" << mode << "'";
    EXPECT_TRUE(fake.requests().empty()) << "nothing is requested for a mode that is no number";

    // Every number but 1 and 3 has always meant the central server.
    for (const char *mode : {"2", "0", "-3", "1.5"})
        EXPECT_FALSE(ask(mode, central).isEmpty());
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

    const QString token = ask("2", fake.centralServerUrl());
    EXPECT_EQ(token, fake.lastIssuedToken()) << "the answer's line break is gone";
    EXPECT_FALSE(token.contains('\n'));
    EXPECT_EQ(onlyRequest("Content-Length"), "POST /central/token Content-Length: 0");

    fake.failNext("/central/token", 1,
                  FakeWeChat::Fault::answer(" \t TOKEN_FROM_CENTRAL \r\n\r\n"));
    EXPECT_EQ(ask("2", fake.centralServerUrl()), "TOKEN_FROM_CENTRAL");
    EXPECT_EQ(fake.tokenCalls(), 0);

    testsupport::liveSettings().update([](Settings &s) { s.driver = QStringLiteral("sqlite"); });
    EXPECT_EQ(rows(), before);
}

// No server, an error page, an empty answer or one that cannot be a token (markup, white space
// inside, JSON, too long) is a failure, never a token passed on to every post.
TEST_F(TokenTest, CentralServerFailuresRaise)
{
    const QString central = fake.centralServerUrl();
    const QString notToken = QStringLiteral("中控服务器返回的不是 access_token（");
    const struct {
        QString server;
        std::optional<FakeWeChat::Fault> fault;
        QString message;
    } failures[] = {
        {QString(), {}, "中控服务器地址为空"},
        {"  ", {}, "中控服务器地址为空"},
        {fake.base() + "/central/nothing", {}, "中控服务器返回 HTTP 404"},
        {central, FakeWeChat::Fault::serverError(), "中控服务器返回 HTTP 500"},
        {central, FakeWeChat::Fault::answer("\r\n"), "中控服务器没有返回 access_token"},
        {central, FakeWeChat::Fault::answer("<html><body>登录</body></html>"), notToken},
        {central, FakeWeChat::Fault::answer("TOKEN PART2"), notToken},
        {central, FakeWeChat::Fault::answer(R"({"errcode":40013,"errmsg":"invalid appid"})"),
         notToken},
        {central, FakeWeChat::Fault::answer("\"T\""), notToken},
        {central, FakeWeChat::Fault::answer(QString(513, u'T')), notToken},
    };
    for (const auto &f : failures) {
        const size_t requests = fake.requests().size();
        if (f.fault)
            fake.failNext("/central/token", 1, *f.fault);
        const QString message = tokenError([&] { ask("2", f.server); });
        EXPECT_TRUE(message.startsWith(f.message)) << message.toStdString();
        EXPECT_EQ(fake.requests().size() - requests, f.server.trimmed().isEmpty() ? 0u : 1u);
    }
    fake.failNext("/central/token", 1, FakeWeChat::Fault::answer(QString(512, u'T')));
    EXPECT_EQ(fetch("2"), QString(512, u'T'));

    fake.failNext("/central/token", 1, FakeWeChat::Fault::drop());
    EXPECT_THROW(ask("2", central), HttpError);
}

TEST_F(TokenTest, ARefusedTokenIsRenewedOnlyWhileTheCacheStillHoldsIt)
{
    makeFresh("CACHED");
    const QString renewed = fetch("1", "CACHED");
    EXPECT_EQ(renewed, fake.lastIssuedToken());
    EXPECT_EQ(param("access_token"), renewed);

    // Another copy of the batch was refused the same token: the cache already holds a newer one.
    EXPECT_EQ(fetch("1", "CACHED"), renewed);
    EXPECT_EQ(fake.tokenCalls(), 1);

    // The central server is simply asked again.
    const QString fromCentral = fetch("2", renewed);
    EXPECT_EQ(fromCentral, fake.lastIssuedToken());
    EXPECT_EQ(fake.centralCalls(), 1);
}

TEST_F(TokenTest, StableTokenIsFetchedAsJsonCachedAndSharedByEveryCaller)
{
    makeStale();
    const QString token = fetch("3");
    EXPECT_EQ(token, fake.stableToken());
    EXPECT_EQ(rows(), (Rows{token, "7200", param("in_time")}));
    EXPECT_LT(tokenAge(), 120);
    EXPECT_EQ(onlyRequest("Content-Type"),
              "POST /cgi-bin/stable_token Content-Type: application/json");
    EXPECT_EQ(ParseJson(QString::fromUtf8(fake.lastStableTokenBody())),
              QJsonObject({{"grant_type", "client_credential"},
                           {"appid", "wx1"},
                           {"secret", "secret"},
                           {"force_refresh", false}}));

    // Fresh: taken from the cache, no request.
    EXPECT_EQ(fetch("3"), token);
    EXPECT_EQ(fake.stableTokenCalls(), 1);
    // Old: renewed in normal mode, which hands back the same token while it has long to live.
    makeStale();
    EXPECT_EQ(fetch("3"), token);
    EXPECT_EQ(fake.stableTokenCalls(), 2);
    EXPECT_EQ(fake.tokenCalls(), 0);

    // A token handed out near its end is cached only for what is left of it, less five minutes.
    advance(7200 - 400);
    makeStale();
    EXPECT_EQ(fetch("3"), token);
    EXPECT_EQ(param("expires_in"), "400");
    EXPECT_EQ(fetch("3"), token) << "100 s of cache left";
    EXPECT_EQ(fake.stableTokenCalls(), 3);
    advance(120);
    setParam("expires_in", "200"); // what is left of it now: past the margin, renewed
    const QString next = fetch("3");
    EXPECT_NE(next, token);
    EXPECT_EQ(next, fake.stableToken());
    EXPECT_EQ(fake.forcedStableCalls(), 0);
}

TEST_F(TokenTest, AnotherProgramsExchangeLeavesTheStableTokenWorking)
{
    fake.setStaleOnIssue(true);
    makeStale();
    const QString stable = fetch("3");
    EXPECT_EQ(postWith(stable), 0);

    // "Another program" exchanges at /cgi-bin/token twice: its first token falls, ours stands.
    HttpClient other;
    const QString url =
        fake.base() + "/cgi-bin/token?grant_type=client_credential&appid=wx1&secret=secret";
    const QString first = ParseJson(other.Post(url))->value("access_token").toString();
    other.Post(url);
    EXPECT_EQ(postWith(first), 40001);
    EXPECT_EQ(postWith(stable), 0);
    EXPECT_EQ(fetch("3"), stable);
}

TEST_F(TokenTest, ARefusedStableTokenForcesOneRefreshAndNotAgainWithin30Seconds)
{
    makeStale();
    const QString first = fetch("3");

    const QString second = fetch("3", first);
    EXPECT_NE(second, first);
    EXPECT_EQ(param("access_token"), second);
    EXPECT_EQ(fake.forcedStableCalls(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(fake.lastStableTokenBody()).object().value("force_refresh"),
              true);
    EXPECT_EQ(postWith(first), 40001) << "a forced refresh ends the previous stable token";
    EXPECT_EQ(postWith(second), 0);

    // Refused again 29 s later: a normal call, never a second force so soon.
    advance(29);
    EXPECT_EQ(fetch("3", second), second);
    EXPECT_EQ(fake.forcedStableCalls(), 1);
    EXPECT_EQ(fake.stableTokenCalls(), 3);

    // Another appid has 30 s of its own (the fake, one account, declines so soon and says so with
    // the same token); the same appid may force again once 30 s have passed.
    EXPECT_EQ(GetAccessToken(account("3", "wx2"), http, second), second);
    EXPECT_EQ(fake.forcedStableCalls(), 2);
    advance(1);
    const QString third = fetch("3", fake.stableToken());
    EXPECT_EQ(third, fake.stableToken());
    EXPECT_EQ(fake.forcedStableCalls(), 3);
}

TEST_F(TokenTest, StableTokenErrorsLeaveTheCache)
{
    makeFresh("CACHED");
    const auto refreshRefused = [this] { return fetch("3", param("access_token").value_or("")); };
    // WeChat allows 20 forced refreshes a day, then answers 45009.
    for (int i = 0; i < 20; ++i) {
        advance(30);
        refreshRefused();
    }
    EXPECT_EQ(fake.forcedStableCalls(), 20);
    advance(30);
    const Rows used = rows();
    const QString refused = tokenError(refreshRefused);
    EXPECT_TRUE(refused.startsWith(R"({"errcode":45009,)")) << refused.toStdString();
    EXPECT_EQ(rows(), used);

    // An answer that cannot be a token changes nothing either.
    makeFresh("CACHED");
    makeStale();
    fake.failNext("/cgi-bin/stable_token", 1,
                  FakeWeChat::Fault::answer("<html><body>502 Bad Gateway</body></html>"));
    EXPECT_THROW(fetch("3"), TokenError);
    EXPECT_EQ(param("access_token"), "CACHED");
}
