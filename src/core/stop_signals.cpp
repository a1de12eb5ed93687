// SIGTERM and SIGINT (on Windows: Ctrl+C, Ctrl+Break and closing the console) carried into the
// event loop, where a handler may act.
#include "core/stop_signals.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QMutex>
#include <QPointer>

#include <windows.h>
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

#ifdef Q_OS_WIN
namespace {
// The handler runs on a thread of the system's own: it may only post to the owner's event loop.
QMutex stopMutex;
class StopRelay;
StopRelay *stopRelay = nullptr; // lives in the owner's thread; null once the owner has gone

class StopRelay : public QObject {
public:
    StopRelay(QObject *owner, std::function<void()> onStop)
        : QObject(owner), m_onStop(std::move(onStop))
    {
        const QMutexLocker lock(&stopMutex);
        stopRelay = this;
    }
    ~StopRelay() override
    {
        const QMutexLocker lock(&stopMutex);
        if (stopRelay == this)
            stopRelay = nullptr;
    }
    void stop() { m_onStop(); }

private:
    std::function<void()> m_onStop;
};

BOOL WINAPI onConsoleControl(DWORD event)
{
    {
        const QMutexLocker lock(&stopMutex);
        if (!stopRelay)
            return FALSE; // nobody listens any more: the default ends the process
        StopRelay *relay = stopRelay;
        // Dropped, not run, should the owner go before the event loop gets to it.
        QMetaObject::invokeMethod(
            relay, [relay] { relay->stop(); }, Qt::QueuedConnection);
    }
    // Closing the console ends the process as soon as this returns: wait instead, so the post in
    // flight is stored; the system allows a few seconds, and the program's exit ends this thread.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
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
#elif defined(Q_OS_WIN)
    new StopRelay(owner, std::move(onStop));
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    Q_UNUSED(owner);
    Q_UNUSED(onStop);
#endif
}

} // namespace veltrano
