// Tells systemd how the headless service is doing: ready, alive, stopping. Without libsystemd
// (Windows, builds without VELTRANO_SYSTEMD) and outside a Type=notify unit these do nothing.
#pragma once

#include <QObject>
#include <QTimer>

namespace veltrano {

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject *parent = nullptr);
    // The database answered and sysParam is loaded: systemd may count the start as done. From
    // here on the event loop proves it is alive within every watchdog period.
    void ready();
    // A stop signal arrived; the message in flight is being finished.
    void stopping();

private:
    QTimer m_alive;
};

} // namespace veltrano
