// Background database work for the settings dialogs, and closing only once that work is done.
#include "dialogs/settings_window.h"

#include "ui/window_keys.h"

#include <QCloseEvent>

namespace veltrano {

SettingsWindow::SettingsWindow(SharedSettings &live, QWidget *parent)
    : QWidget(parent, Qt::Window), m_live(live)
{
    ui::closeOnEscape(this);
}

void SettingsWindow::beginWork()
{
    m_busy = true;
    setEnabled(false);
    setCursor(Qt::WaitCursor);
}

void SettingsWindow::endWork(const std::function<void()> &applyResult)
{
    m_busy = false;
    setEnabled(true);
    unsetCursor();
    applyResult();
    if (m_closeAsked && !m_busy && !m_closed) {
        m_closeAsked = false;
        close();
    }
}

void SettingsWindow::closeWhenIdle()
{
    m_closeAsked = true;
}

void SettingsWindow::closeEvent(QCloseEvent *event)
{
    if (m_closed) {
        event->accept();
        return;
    }
    if (m_busy) {
        m_closeAsked = true;
        event->ignore();
        return;
    }
    if (!readyToClose()) {
        event->ignore();
        return;
    }
    m_closed = true;
    event->accept();
}

} // namespace veltrano
