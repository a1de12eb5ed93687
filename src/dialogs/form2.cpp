// The connection dialog: server, login, password and database, or the embedded SQLite file.
#include "dialogs/form2.h"

#include "core/database.h"
#include "core/failure_text.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/settings.h"
#include "ui/app_icon.h"
#include "ui/message_box.h"

#include <QComboBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace veltrano {
namespace {

// The typed values themselves, tested before anything is written, so a failed test leaves the
// working config.ini and the live values as they were; the cause of a failure, empty on success.
QString connects(const Settings &typed)
{
    QString cause;
    if (TestConnection(typed, &cause))
        return QString();
    return cause.isEmpty() ? QStringLiteral("?") : cause;
}

} // namespace

Form2::Form2(SharedSettings &live, QWidget *parent) : SettingsWindow(live, parent)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("数据库配置"));
    setWindowIcon(ui::appIcon());
    buildControls();
    loadSettings();
}

void Form2::buildControls()
{
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(20, 16, 20, 16);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->setSizeConstraint(QLayout::SetFixedSize); // a dialog of fixed size, like the schedule one

    driverLabel = new QLabel(QStringLiteral("数据库类型"), this);
    driverLabel->setObjectName(QStringLiteral("driverLabel"));
    driverKind = new QComboBox(this);
    driverKind->setObjectName(QStringLiteral("driverKind"));
    driverKind->addItem(QStringLiteral("SQL Server"));
    driverKind->addItem(QStringLiteral("内置 SQLite 数据库文件"));
    grid->addWidget(driverLabel, 0, 0);
    grid->addWidget(driverKind, 0, 1);

    const QString captions[4] = {QStringLiteral("数据库IP"), QStringLiteral("用户名"),
                                 QStringLiteral("密码"), QStringLiteral("数据库")};
    for (int row = 0; row < 4; ++row) {
        Label1[row] = new QLabel(captions[row], this);
        Label1[row]->setObjectName(QStringLiteral("Label1_%1").arg(row));
        Text1[row] = new QLineEdit(this);
        Text1[row]->setObjectName(QStringLiteral("Text1_%1").arg(row));
        Text1[row]->setMinimumWidth(200);
        Label1[row]->setBuddy(Text1[row]);
        grid->addWidget(Label1[row], row + 1, 0);
        grid->addWidget(Text1[row], row + 1, 1);
    }
    // The password shows as typed, so a mistyped one can be seen and mended.
    Text1[2]->setEchoMode(QLineEdit::Normal);
    Text1[3]->setToolTip(QStringLiteral("SQLite 数据库文件的路径可以相对于程序所在的文件夹"));

    save = new QPushButton(QStringLiteral("保存"), this);
    save->setObjectName(QStringLiteral("save"));
    save->setDefault(true);
    grid->addWidget(save, 5, 0, 1, 2, Qt::AlignHCenter);

    connect(driverKind, &QComboBox::currentIndexChanged, this, &Form2::showDriverKind);
    connect(save, &QPushButton::clicked, this, &Form2::SaveConnectionSettings);
}

void Form2::loadSettings()
{
    Settings s = live().snapshot();
    LoadConnectionSettings(s);
    live().update([&](Settings &v) { copyConnection(s, v); });
    Text1[0]->setText(s.host);
    Text1[1]->setText(s.uid);
    Text1[2]->setText(s.pwd);
    Text1[3]->setText(s.db);
    const bool sqlite = s.driver.trimmed().compare(u"sqlite", Qt::CaseInsensitive) == 0;
    driverKind->setCurrentIndex(sqlite ? kSqlite : kSqlServer);
    showDriverKind(driverKind->currentIndex());
}

void Form2::showDriverKind(int kind)
{
    // A SQLite file needs no server, login or password; their texts stay for a switch back.
    const bool server = kind != kSqlite;
    for (int row = 0; row < 3; ++row) {
        Label1[row]->setEnabled(server);
        Text1[row]->setEnabled(server);
    }
    Label1[3]->setText(server ? QStringLiteral("数据库") : QStringLiteral("数据库文件"));
}

void Form2::keyPressEvent(QKeyEvent *event)
{
    // Return presses "保存" from any box, as a dialog's default button would; the boxes pass it on.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (save->isEnabled() && !isBusy())
            save->click();
        return;
    }
    SettingsWindow::keyPressEvent(event);
}

Settings Form2::typedSettings() const
{
    Settings typed = live().snapshot();
    typed.host = Text1[0]->text();
    typed.uid = Text1[1]->text();
    typed.pwd = Text1[2]->text();
    typed.db = Text1[3]->text();
    typed.driver = driverKind->currentIndex() == kSqlite ? QStringLiteral("sqlite")
                                                         : QStringLiteral("sqlserver");
    return typed;
}

void Form2::SaveConnectionSettings()
{
    const Settings typed = typedSettings();
    runInBackground([typed] { return connects(typed); },
                    [this, typed](const QString &cause) {
                        if (!cause.isEmpty()) {
                            const QString text =
                                failureText(QStringLiteral("连接失败，请检查您的配置是否正确！"),
                                            cause);
                            Logger::instance().log(QStringLiteral("  ") + text);
                            ui::showMessage(this, text, QStringLiteral("提示"));
                            return;
                        }
                        if (!WriteConnectionSettings(typed)) {
                            ui::showMessage(this,
                                            QStringLiteral("配置文件写入失败，请检查程序所在文件夹"
                                                           "是否可写！\n%1")
                                                .arg(configFilePath()),
                                            QStringLiteral("提示！"));
                            return;
                        }
                        // Every later database action builds its connection from the file's values.
                        Settings written = live().snapshot();
                        LoadConnectionSettings(written);
                        live().update([&](Settings &v) { copyConnection(written, v); });
                        close();
                    });
}

} // namespace veltrano
