// Prints how fast one kept-alive HttpClient posts to the fake WeChat API on 127.0.0.1.
#include "core/app_context.h"
#include "core/http_client.h"
#include "support/fake_wechat.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace veltrano;
using Clock = std::chrono::steady_clock;

namespace {

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    testsupport::FakeWeChat fake;
    fake.setFollowerCount(10000);
    testsupport::ScopedApiBase base(fake);
    const QString url = messageUrl(1, QStringLiteral("TOKEN"));
    const QByteArray body = QByteArrayLiteral(
        R"({"touser":"oFake00000000000000000000001","template_id":"TPL_1",)"
        R"("data":{"thing1":{"value":"订单已发货"},"time2":{"value":"2024-05-01 10:00"}}})");
    // Drains the requests in flight: the follower export reads its pages this way.
    const auto answerOf = [](HttpMulti &multi) {
        for (;;)
            for (HttpMulti::Answer &answer : multi.wait(1000))
                return answer;
    };

    {
        HttpClient http;
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i)
            http.Post(url, body);
        const double ms = millisecondsSince(start);
        std::printf("template posts, one connection: %d in %.1f ms, %.3f ms each, %d "
                    "connection(s)\n",
                    count, ms, ms / count, fake.connectionCount());
    }
    {
        const int before = fake.connectionCount();
        const auto start = Clock::now();
        for (int i = 0; i < count / 10; ++i) {
            HttpClient http;
            http.Post(url, body);
        }
        const double ms = millisecondsSince(start);
        std::printf("template posts, new client each: %d in %.1f ms, %.3f ms each, %d "
                    "connection(s)\n",
                    count / 10, ms, ms / (count / 10), fake.connectionCount() - before);
    }
    {
        HttpMulti multi(1);
        const auto start = Clock::now();
        multi.start(0, apiUrl(QLatin1String(endpoint::kUserGet)
                              + QStringLiteral("?access_token=TOKEN")));
        const QString page = answerOf(multi).body;
        const double ms = millisecondsSince(start);
        std::printf("user/get page of 10000 openids: %lld bytes in %.1f ms\n",
                    static_cast<long long>(page.size()), ms);
    }
    return 0;
}
