// fake-wechat: the fake WeChat API as a program, for the demo and the benchmarks (127.0.0.1 only).
#include "support/fake_wechat.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

const char kUsage[] =
    "usage: fake-wechat [options]\n"
    "Serves a fake WeChat Official Account API on 127.0.0.1 until SIGINT or SIGTERM.\n"
    "  --port N            port to listen on (0, the default: the system chooses)\n"
    "  --followers N       number of generated followers (default 1000)\n"
    "  --page-size N       openids per user/get page (default 10000)\n"
    "  --latency-ms N      delay added to every request (default 0)\n"
    "  --token-lifetime N  expires_in of issued tokens (default 7200)\n"
    "  --stale-on-issue    a new token makes every earlier one stale (errcode 40001)\n"
    "Prints \"listening on http://127.0.0.1:PORT\" once it accepts requests. The central control\n"
    "server for the second token mode is at http://127.0.0.1:PORT/central/token.\n";

bool readNumber(const char *text, int &value)
{
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < 0 || number > 100000000)
        return false;
    value = int(number);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int port = 0, followers = 1000, pageSize = 10000, latency = 0, lifetime = 7200;
    bool staleOnIssue = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--stale-on-issue") {
            staleOnIssue = true;
            continue;
        }
        int *target = option == "--port"             ? &port
                      : option == "--followers"      ? &followers
                      : option == "--page-size"      ? &pageSize
                      : option == "--latency-ms"     ? &latency
                      : option == "--token-lifetime" ? &lifetime
                                                     : nullptr;
        if (!target) {
            std::fprintf(stderr, "fake-wechat: unknown option %s\n%s", option.c_str(), kUsage);
            return 2;
        }
        if (i + 1 >= argc || !readNumber(argv[i + 1], *target)) {
            std::fprintf(stderr, "fake-wechat: %s needs a whole number\n", option.c_str());
            return 2;
        }
        ++i;
    }
    if (port > 65535 || pageSize == 0) {
        std::fprintf(stderr, "fake-wechat: port must be 0-65535 and page size at least 1\n");
        return 2;
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    try {
        veltrano::testsupport::FakeWeChat fake(port);
        fake.setFollowerCount(followers);
        fake.setPageSize(pageSize);
        fake.setLatency(latency);
        fake.setTokenLifetime(lifetime);
        fake.setStaleOnIssue(staleOnIssue);
        std::printf("listening on %s\n", fake.base().toUtf8().constData());
        std::fflush(stdout);
        while (!stopRequested)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "fake-wechat: %s\n", e.what());
        return 1;
    }
    return 0;
}
