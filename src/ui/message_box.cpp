// Message boxes, with a seam that records and answers them in tests instead of running a modal
// loop.
#include "ui/message_box.h"

#include <QQueue>

#include <functional>

namespace veltrano::ui {
namespace {
struct Seam {
    bool enabled = false;
    QQueue<QMessageBox::StandardButton> answers;
    QList<ShownMessage> shown;
    std::function<void(const ShownMessage &)> unanswered;
};

Seam &seam()
{
    static Seam s;
    return s;
}

// What Escape presses: the only button, or the one that declines.
QMessageBox::StandardButton escapeButton(QMessageBox::StandardButtons buttons)
{
    for (const QMessageBox::StandardButton b :
         {QMessageBox::Ok, QMessageBox::Cancel, QMessageBox::Close, QMessageBox::Abort,
          QMessageBox::No, QMessageBox::Ignore}) {
        if (buttons == b)
            return b;
    }
    for (const QMessageBox::StandardButton b :
         {QMessageBox::Cancel, QMessageBox::Close, QMessageBox::Abort, QMessageBox::No,
          QMessageBox::Ignore}) {
        if (buttons.testFlag(b))
            return b;
    }
    return QMessageBox::NoButton;
}

bool isQuestion(QMessageBox::StandardButtons buttons)
{
    return (buttons.toInt() & (buttons.toInt() - 1)) != 0; // more than one button
}
} // namespace

QMessageBox::StandardButton showMessage(QWidget *parent, const QString &text, const QString &title,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::Icon icon)
{
    Seam &s = seam();
    if (s.enabled) {
        const ShownMessage message{text, title, buttons, icon};
        s.shown.append(message);
        if (!s.answers.isEmpty())
            return s.answers.dequeue();
        // A question nobody answered in advance is a test that does not know what it asks for.
        if (isQuestion(buttons) && s.unanswered)
            s.unanswered(message);
        return escapeButton(buttons);
    }
    QMessageBox box(icon, title, text, buttons, parent);
    // Texts here may carry a server's answer (an HTML error page, say): shown as sent, never
    // rendered.
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

void onUnansweredQuestion(std::function<void(const ShownMessage &)> handler)
{
    seam().unanswered = std::move(handler);
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
