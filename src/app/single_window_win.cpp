// The single window on Windows: the first start owns a named file mapping that holds its process
// and GUI thread; a later start finds it and posts that thread a message. Windows drops the mapping
// with the last process that holds it, so a window that crashed leaves nothing behind.
#include "app/single_window.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QByteArray>

#include <qt_windows.h>

namespace veltrano {
namespace {

struct Owner {
    DWORD process;
    DWORD thread;
};

// A thread message of our own: no window of any program is addressed, so nothing else sees it.
constexpr UINT kRaiseMessage = WM_APP + 0x5a1;

} // namespace

struct SingleWindow::Listener : QAbstractNativeEventFilter {
    explicit Listener(SingleWindow *owner) : window(owner) {}
    ~Listener() override
    {
        if (view)
            UnmapViewOfFile(view);
        if (mapping)
            CloseHandle(mapping);
    }
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "windows_dispatcher_MSG" && eventType != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (!msg || msg->hwnd != nullptr || msg->message != kRaiseMessage)
            return false;
        Q_EMIT window->raiseRequested();
        return true;
    }

    SingleWindow *window;
    HANDLE mapping = nullptr;
    void *view = nullptr;
};

SingleWindow::SingleWindow(const QString &configPath, QObject *parent)
    : QObject(parent), m_name(serverName(configPath))
{
    handOverOrListen();
}

SingleWindow::~SingleWindow()
{
    if (m_listener && QAbstractEventDispatcher::instance())
        QAbstractEventDispatcher::instance()->removeNativeEventFilter(m_listener.get());
}

void SingleWindow::handOverOrListen()
{
    // "Local\" keeps the name to this logon session, as the user in the name keeps it to this user.
    const std::wstring name = (QStringLiteral("Local\\") + m_name).toStdWString();
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(Owner), name.c_str());
    if (!mapping)
        return; // not listening costs only the hand-over; the window itself still opens
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    void *view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Owner));
    if (!view) {
        CloseHandle(mapping);
        return;
    }
    auto *owner = static_cast<Owner *>(view);
    if (existed && owner->thread != 0) {
        // The first window may take the foreground from this start, which the user just made.
        AllowSetForegroundWindow(owner->process);
        m_handedOver = PostThreadMessageW(owner->thread, kRaiseMessage, 0, 0) != 0;
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        // Not handed over only when its thread has just gone: this window then opens on its own.
        return;
    }
    m_listener = std::make_unique<Listener>(this);
    m_listener->mapping = mapping;
    m_listener->view = view;
    owner->process = GetCurrentProcessId();
    owner->thread = GetCurrentThreadId();
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->installNativeEventFilter(m_listener.get());
}

} // namespace veltrano
