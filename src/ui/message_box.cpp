// Message boxes, with a seam that records and answers them in tests instead of running a modal loop.
#include "ui/message_box.h"

#include <QQueue>

namespace veltrano::ui {
namespace {
struct Seam {
    bool enabled = false;
    QQueue<QMessageBox::StandardButton> answers;
    QList<ShownMessage> shown;
};

Seam &seam()
{
    static Seam s;
    return s;
}

QMessageBox::StandardButton firstButton(QMessageBox::StandardButtons buttons)
{
    for (uint bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (buttons.testFlag(QMessageBox::StandardButton(bit)))
            return QMessageBox::StandardButton(bit);
    }
    return QMessageBox::NoButton;
}
} // namespace

QMessageBox::StandardButton showMessage(QWidget *parent, const QString &text, const QString &title,
                                        QMessageBox::StandardButtons buttons, QMessageBox::Icon icon)
{
    Seam &s = seam();
    if (s.enabled) {
        s.shown.append({text, title, buttons, icon});
        return s.answers.isEmpty() ? firstButton(buttons) : s.answers.dequeue();
    }
    QMessageBox box(icon, title, text, buttons, parent);
    // Texts here may carry a server's answer (an HTML error page, say): shown as sent, never rendered.
    box.setTextFormat(Qt::PlainText);
    return QMessageBox::StandardButton(box.exec());
}

namespace testing {
void setEnabled(bool on)
{
    seam().enabled = on;
}

void answerNext(QMessageBox::StandardButton answer)
{
    seam().answers.enqueue(answer);
}

QList<ShownMessage> shown()
{
    return seam().shown;
}

void reset()
{
    seam().answers.clear();
    seam().shown.clear();
}
} // namespace testing

} // namespace veltrano::ui
