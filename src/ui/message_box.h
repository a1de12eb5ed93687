// Every message box of the program goes through here, so a test can answer one before it is shown.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace veltrano::ui {

// What a box showed, as a test reads it back.
struct ShownMessage {
    QString text;
    QString title;
    QMessageBox::StandardButtons buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Shows a modal box, its text as plain text, and returns the button pressed. In test mode nothing
// is shown: the box is recorded and answered with the next queued answer, or else as Escape would
// (a question without a queued answer is also reported to the handler given below).
QMessageBox::StandardButton showMessage(QWidget *parent, const QString &text, const QString &title,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::Icon icon = QMessageBox::NoIcon);

// The test seam.
namespace testing {
void setEnabled(bool on);
void answerNext(QMessageBox::StandardButton answer);
// Called for a box of more than one button shown with no answer queued.
void onUnansweredQuestion(std::function<void(const ShownMessage &)> handler);
QList<ShownMessage> shown();
void reset(); // forget shown boxes and queued answers
} // namespace testing

} // namespace veltrano::ui
