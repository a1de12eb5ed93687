// The schedule dialog: the interval and batch size of the send cycle, kept in sysParam.
#include "dialogs/form3.h"

#include "core/database.h"
#include "core/failure_text.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/settings.h"
#include "dialogs/digit_box.h"
#include "ui/app_icon.h"
#include "ui/fit_to_text.h"
#include "ui/message_box.h"

#include <QFocusEvent>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include <array>

namespace veltrano {
namespace {

constexpr int kClientWidth = 363;
constexpr int kClientHeight = 139;

struct Schedule {
    QString temp, temp_timer, cust, cust_timer;
};

Schedule loadSchedule(SharedSettings &live)
{
    // Whatever the load left in the live values is what the boxes show, as after a failed load.
    const Settings s = ReloadSettings(live);
    return {s.temp, s.temp_timer, s.cust, s.cust_timer};
}

// Each value is stored as the decimal text of its number; a value that is no number fails the
// save before anything is written. A stored schedule goes into the live values at once, so a
// running service counts against the new interval from its next tick (a shorter one is due at
// once when the minutes already counted reach it). Empty when stored; otherwise the cause.
QString storeSchedule(SharedSettings &live, const std::array<QString, 4> &boxTexts)
{
    std::array<QString, 4> values;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = decimalText(boxTexts[i]);
        if (values[i].isEmpty())
            return QStringLiteral("“%1”不是整数").arg(boxTexts[i]);
    }
    try {
        StoreParameters(live.snapshot(), {{QStringLiteral("cust"), values[0]},
                                          {QStringLiteral("cust_timer"), values[1]},
                                          {QStringLiteral("temp"), values[2]},
                                          {QStringLiteral("temp_timer"), values[3]}});
        live.update([&values](Settings &s) {
            s.cust = values[0];
            s.cust_timer = values[1];
            s.temp = values[2];
            s.temp_timer = values[3];
        });
        return {};
    } catch (const std::exception &e) {
        const QString cause = causeOf(e);
        return cause.isEmpty() ? QStringLiteral("?") : cause;
    }
}

// 1 to 30, bounds included; a number too long to convert is far beyond 30.
bool intervalInRange(const QString &text)
{
    const QString number = decimalText(text);
    bool ok = false;
    const qlonglong value = number.toLongLong(&ok);
    return ok && value >= 1 && value <= 30;
}

} // namespace

Form3::Form3(SharedSettings &live, QWidget *parent) : SettingsWindow(live, parent)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("定时设置"));
    setWindowIcon(ui::appIcon());
    buildControls();
    ui::fixSizeToText(this, QSize(kClientWidth, kClientHeight));
    startLoading();
}

void Form3::buildControls()
{
    const auto box = [this](const char *name, const QString &text) {
        auto *b = new QLineEdit(text, this);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };
    const auto label = [this](const char *name, const QString &text) {
        auto *l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };

    Label3 = label("Label3", QStringLiteral("发送时间间隔（1-30分钟）"));
    Text1 = box("Text1", QStringLiteral("5"));
    Label4 = label("Label4", QStringLiteral("每次发送批量(1-20条)"));
    Text2 = box("Text2", QStringLiteral("10"));
    Label3->setBuddy(Text1);
    Label4->setBuddy(Text2);

    Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);

    // Says why an interval the user typed was replaced; shown only then.
    intervalNote = label("intervalNote", QString());
    intervalNote->setWordWrap(true);
    intervalNote->hide();

    // A layout rather than fixed places, so larger text widens the dialog instead of being cut.
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(20, 24, 20, 20);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(16);
    grid->addWidget(Label3, 0, 0);
    grid->addWidget(Text1, 0, 1);
    grid->addWidget(Label4, 1, 0);
    grid->addWidget(Text2, 1, 1);
    grid->addWidget(Line1, 2, 0, 1, 2);
    grid->addWidget(intervalNote, 3, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    Text3 = box("Text3", QStringLiteral("5"));
    Text4 = box("Text4", QStringLiteral("10"));
    Text3->hide();
    Text4->hide();

    acceptDigitsOnly(Text1);
    acceptDigitsOnly(Text2);
    Text1->installEventFilter(this);
    Text2->installEventFilter(this);
    // A value typed after the correction is the user's own again: nothing to report for it.
    connect(Text1, &QLineEdit::textEdited, this, [this] { m_replacedInterval.clear(); });
}

void Form3::startLoading()
{
    runInBackground([&live = live()] { return loadSchedule(live); },
                    [this](const Schedule &s) {
                        Text2->setText(s.temp);
                        Text1->setText(s.temp_timer);
                        Text4->setText(s.cust);
                        Text3->setText(s.cust_timer);
                        // The window was disabled while it loaded, which took the focus away.
                        if (!focusWidget())
                            Text1->setFocus();
                    });
}

bool Form3::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut) {
        // Only a move of the focus inside the program, not a popup menu over the box or a
        // switch to another program, counts as leaving the box.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
            if (watched == Text1)
                Text1_LostFocus();
            else if (watched == Text2)
                Text2_LostFocus();
        }
    }
    return SettingsWindow::eventFilter(watched, event);
}

void Form3::Text1_LostFocus()
{
    const QString typed = Text1->text();
    if (!typed.isEmpty() && intervalInRange(typed))
        return;
    Text1->setText(QStringLiteral("5"));
    if (typed.isEmpty())
        return; // an empty box is no value to report
    m_replacedInterval = typed;
    intervalNote->setText(
        QStringLiteral("发送时间间隔“%1”不在1-30分钟之内，已改为5分钟。").arg(typed));
    intervalNote->show();
    ui::fixSizeToText(this, QSize(kClientWidth, kClientHeight));
}

void Form3::Text2_LostFocus()
{
    // A batch of no message would send nothing forever; the upper end of the caption's range is
    // advice, not a limit.
    if (decimalText(Text2->text()) == u"0" || Text2->text().isEmpty())
        Text2->setText(QStringLiteral("10"));
}

bool Form3::readyToClose()
{
    if (m_saved)
        return true;
    // The box the focus is in has not been left yet, so its correction has not run.
    if (focusWidget() == Text1)
        Text1_LostFocus();
    else if (focusWidget() == Text2)
        Text2_LostFocus();
    SaveSchedule(); // closes the dialog once the save has ended
    return false;
}

void Form3::SaveSchedule()
{
    const std::array<QString, 4> texts = {Text4->text(), Text3->text(), Text2->text(),
                                          Text1->text()};
    runInBackground([&live = live(), texts] { return storeSchedule(live, texts); },
                    [this](const QString &cause) {
                        m_saved = true;
                        // The note in the dialog goes with it; the log keeps what became of the
                        // typed interval.
                        if (cause.isEmpty() && !m_replacedInterval.isEmpty())
                            Logger::instance().log(
                                QStringLiteral(
                                    "  定时设置：发送时间间隔“%1”不在1-30分钟之内，已保存为5分钟")
                                    .arg(m_replacedInterval));
                        if (!cause.isEmpty()) {
                            const QString text =
                                failureText(QStringLiteral("配置失败，请检查数据库连接！"), cause);
                            Logger::instance().log(QStringLiteral("  ") + text);
                            ui::showMessage(this, text, QStringLiteral("提示！"));
                        }
                        closeWhenIdle();
                    });
}

} // namespace veltrano
