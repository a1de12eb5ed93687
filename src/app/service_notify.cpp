// sd_notify on the event loop's thread: a loop that hangs stops the pings, and systemd restarts it.
#include "app/service_notify.h"

#ifdef VELTRANO_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace veltrano {

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
#ifdef VELTRANO_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Twice per period, so one late ping is not yet a missed one.
        m_alive.setInterval(int(qBound<uint64_t>(1, usec / 2000, 1u << 30)));
        connect(&m_alive, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
    }
#endif
}

void ServiceNotifier::ready()
{
#ifdef VELTRANO_HAVE_SYSTEMD
    sd_notify(0, "READY=1\nSTATUS=运行中");
    if (m_alive.interval() > 0 && !m_alive.isActive()) {
        sd_notify(0, "WATCHDOG=1");
        m_alive.start();
    }
#endif
}

void ServiceNotifier::stopping()
{
#ifdef VELTRANO_HAVE_SYSTEMD
    sd_notify(0, "STOPPING=1\nSTATUS=正在完成发送中的消息");
#endif
}

} // namespace veltrano
