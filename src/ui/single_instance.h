// Keeps at most one instance of a secondary window: opening it again brings the same one forward.
#pragma once

#include <QPointer>
#include <QWidget>

namespace veltrano::ui {

template <class Window>
class SingleInstance {
public:
    // Creates the window with `create` when none is open (it loads itself there, once), otherwise
    // shows the open one again without reloading it.
    template <class Create>
    Window *open(Create &&create)
    {
        if (!m_window) {
            m_window = create();
            m_window->setAttribute(Qt::WA_DeleteOnClose);
        }
        m_window->show();
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
        m_window->raise();
        m_window->activateWindow();
        return m_window;
    }

    Window *window() const { return m_window; }

private:
    QPointer<Window> m_window;
};

} // namespace veltrano::ui
