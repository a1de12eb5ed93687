// One window per settings file: two windows on one config.ini would be two senders on one queue,
// each with its own schedule. A second start hands over to the first, which comes forward.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace veltrano {

class SingleWindow : public QObject {
    Q_OBJECT
public:
    // Listens for later starts on `configPath`, or, when a window on it runs already, asks that
    // one to come forward.
    explicit SingleWindow(const QString &configPath, QObject *parent = nullptr);

    // True when a running window on the same settings file took the request: this start ends.
    bool handedOver() const { return m_handedOver; }

    // The local socket's name: the user and the settings file's full path, hashed.
    static QString serverName(const QString &configPath);

Q_SIGNALS:
    void raiseRequested();

private:
    bool askRunningWindow();

    QString m_name;
    QLocalServer m_server;
    bool m_handedOver = false;
};

} // namespace veltrano
