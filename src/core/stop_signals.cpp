// SIGTERM and SIGINT carried into the event loop through a socket pair, where a handler may act.
#include "core/stop_signals.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace veltrano {

#ifdef Q_OS_UNIX
namespace {
int stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    // Only async-signal-safe work here: one byte into the pipe wakes the event loop.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}
} // namespace
#endif

void watchStopSignals(QObject *owner, std::function<void()> onStop)
{
#ifdef Q_OS_UNIX
    if (stopPipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, stopPipe) != 0)
            return;
        ::fcntl(stopPipe[1], F_SETFL, ::fcntl(stopPipe[1], F_GETFL) | O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [onStop = std::move(onStop)] {
        char drained[32];
        [[maybe_unused]] const ssize_t n = ::read(stopPipe[0], drained, sizeof drained);
        onStop();
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
#else
    Q_UNUSED(owner);
    Q_UNUSED(onStop);
#endif
}

} // namespace veltrano
