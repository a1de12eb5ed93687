// One window per settings file: two windows on one config.ini would be two senders on one queue,
// each with its own schedule. A second start hands over to the first, which comes forward.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace veltrano {

class SingleWindow : public QObject {
    Q_OBJECT
public:
    // Listens for later starts on `configPath`, or, when a window on it runs already, asks that
    // one to come forward.
    explicit SingleWindow(const QString &configPath, QObject *parent = nullptr);
    ~SingleWindow() override;

    // True when a running window on the same settings file took the request: this start ends.
    bool handedOver() const { return m_handedOver; }

    // The name both starts meet at: the user and the settings file's full path, hashed.
    static QString serverName(const QString &configPath);

Q_SIGNALS:
    void raiseRequested();

private:
    // How this platform hears later starts: a local socket, or on Windows a named mapping that
    // holds the first window's thread, which a later start posts a message to.
    struct Listener;
    // Either hands over to a running window or becomes the one later starts hand over to.
    void handOverOrListen();

    QString m_name;
    std::unique_ptr<Listener> m_listener;
    bool m_handedOver = false;
};

} // namespace veltrano
