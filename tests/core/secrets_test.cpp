// No logged line carries the appsecret or a token, whatever an answer or a cause quotes.
#include "core/http_client.h"
#include "core/logger.h"
#include "core/settings.h"
#include "core/token_manager.h"
#include "support/fake_wechat.h"
#include "support/log_lines.h"

#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

TEST(Secrets, NoLoggedLineCarriesTheAppsecretOrAToken)
{
    FakeWeChat fake;
    testsupport::ScopedApiBase base(fake);
    QStringList lines;
    const auto logging = testsupport::collectLogLines(lines);
    Settings account;
    account.appid = QStringLiteral("wx1");
    account.appsecret = QStringLiteral("0123456789abcdef0123456789abcdef");
    account.get_token_mod = QStringLiteral("2");
    account.token_server = fake.centralServerUrl();
    HttpClient http;
    const QString token = GetAccessToken(account, http);

    // A central server's JSON is no bare token, and the failure quotes it.
    const QString inJson = QStringLiteral("TOKEN_INSIDE_JSON_0123456789");
    fake.failNext("/central/token", 1,
                  FakeWeChat::Fault::answer(
                      QStringLiteral(R"({"access_token":"%1","expires_in":7200})").arg(inJson)));
    try {
        GetAccessToken(account, http);
        ADD_FAILURE() << "JSON taken for a token";
    } catch (const TokenError &e) {
        Logger::instance().log(QStringLiteral("  获取ACCESS_TOKEN失败：")
                               + QString::fromUtf8(e.what()));
    }
    // A proxy's error page repeats the request URL; a refused token is quoted in WeChat's answer.
    Logger::instance().log(
        QStringLiteral(
            "  HTTP 404：<p>/cgi-bin/token?grant_type=client_credential&appid=wx1&secret=")
        + QStringLiteral("fedcba9876543210fedcba9876543210 not found</p>"));
    Logger::instance().log(
        QStringLiteral("  ACCESS_TOKEN被拒绝：invalid credential %1, hint: [x]").arg(token));
    Logger::instance().log(QStringLiteral("  密钥 %1").arg(account.appsecret));

    ASSERT_EQ(lines.size(), 4);
    for (const QString &line : std::as_const(lines)) {
        for (const QString &secret :
             {account.appsecret, token, inJson, QStringLiteral("fedcba9876543210")})
            EXPECT_FALSE(line.contains(secret)) << line.toStdString();
        EXPECT_TRUE(line.contains("***")) << line.toStdString();
    }
    EXPECT_TRUE(lines[1].contains("appid=wx1&secret=***")) << "the rest of the line stays readable";
}
