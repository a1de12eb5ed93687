// The schedule dialog: send interval and batch size, loaded on opening and stored on closing.
#pragma once

#include "dialogs/settings_window.h"

class QFrame;
class QLabel;
class QLineEdit;

namespace veltrano {

class Form3 : public SettingsWindow {
    Q_OBJECT
public:
    explicit Form3(SharedSettings &live, QWidget *parent = nullptr);

    QLabel *Label3 = nullptr;
    QLineEdit *Text1 = nullptr; // temp_timer: minutes between batches, 1 to 30
    QLabel *Label4 = nullptr;
    QLineEdit *Text2 = nullptr; // temp: messages per batch
    QFrame *Line1 = nullptr;
    QLineEdit *Text3 = nullptr;     // cust_timer, never shown: written back as loaded
    QLineEdit *Text4 = nullptr;     // cust, never shown: written back as loaded
    QLabel *intervalNote = nullptr; // why a typed interval became 5; hidden until then

    // Writes cust, cust_timer, temp and temp_timer to sysParam in the background, says once when
    // that failed, and closes the dialog either way. Closing the dialog runs it.
    void SaveSchedule();

    // The corrections made when a box loses the focus (and when the dialog closes on it).
    void Text1_LostFocus();
    void Text2_LostFocus();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool readyToClose() override;

private:
    void buildControls();
    void startLoading();

    bool m_saved = false;
    QString m_replacedInterval; // the last out-of-range interval replaced by 5, for the log
};

} // namespace veltrano
