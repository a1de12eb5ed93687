// The official account dialog: credentials and token mode, kept in sysParam.
#include "dialogs/form5.h"

#include "core/database.h"
#include "core/failure_text.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/settings.h"
#include "ui/app_icon.h"
#include "ui/message_box.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <array>

namespace veltrano {
namespace {

struct Account {
    QString appid, appsecret, get_token_mod, token_server;
};

Account loadAccount(SharedSettings &live)
{
    // Whatever the load left in the live values is what the boxes show, as after a failed load.
    const Settings s = ReloadSettings(live);
    return {s.appid, s.appsecret, s.get_token_mod, s.token_server};
}

// Empty when stored; otherwise the cause of the failure.
QString storeAccount(const Settings &connection, const std::array<QString, 4> &values)
{
    try {
        StoreParameters(connection, {{QStringLiteral("appid"), values[0]},
                                     {QStringLiteral("appsecret"), values[1]},
                                     {QStringLiteral("get_token_mod"), values[2]},
                                     {QStringLiteral("token_server"), values[3]}});
        return {};
    } catch (const std::exception &e) {
        const QString cause = causeOf(e);
        return cause.isEmpty() ? QStringLiteral("?") : cause;
    }
}

// A stored mode that reads as the number 1 means direct exchange and 3 the stable token; any other
// number (2, 0, 1.5) means the central server; text that is no number at all (empty included)
// falls back to direct exchange.
int modeShown(const QString &storedMode)
{
    switch (tokenMode(storedMode).value_or(TokenMode::Direct)) {
    case TokenMode::Direct: return 1;
    case TokenMode::Stable: return 3;
    case TokenMode::Central: break;
    }
    return 2;
}

} // namespace

Form5::Form5(SharedSettings &live, QWidget *parent) : SettingsWindow(live, parent)
{
    setObjectName(QStringLiteral("Form5"));
    setWindowTitle(QStringLiteral("公众号设置"));
    setWindowIcon(ui::appIcon());
    buildControls();
    startLoading();
}

void Form5::buildControls()
{
    const auto label = [this](const char *name, const QString &text) {
        auto *l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };
    const auto box = [this](const char *name) {
        auto *b = new QLineEdit(this);
        b->setObjectName(QString::fromLatin1(name));
        b->setMinimumWidth(300);
        return b;
    };

    Label1 = label("Label1", QStringLiteral("ACCESS_TOKEN获取模式"));
    Option2 = new QRadioButton(QStringLiteral("直接换取(建议)"), this);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option1 = new QRadioButton(QStringLiteral("中控服务器"), this);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option3 = new QRadioButton(QStringLiteral("稳定版接口（多个程序共用公众号时建议）"), this);
    Option3->setObjectName(QStringLiteral("Option3"));
    auto *group = new QButtonGroup(this);
    group->addButton(Option2);
    group->addButton(Option1);
    group->addButton(Option3);

    Label2 = label("Label2", QStringLiteral("appid"));
    Text1 = box("Text1");
    Label3 = label("Label3", QStringLiteral("appsecret"));
    Text2 = box("Text2");
    // The secret is masked like a password, so it is not read over a shoulder; the box beside it
    // shows it on purpose, for checking what was typed.
    Text2->setEchoMode(QLineEdit::Password);
    showSecret = new QCheckBox(QStringLiteral("显示"), this);
    showSecret->setObjectName(QStringLiteral("showSecret"));
    connect(showSecret, &QCheckBox::toggled, this, [this](bool show) {
        Text2->setEchoMode(show ? QLineEdit::Normal : QLineEdit::Password);
    });
    Label4 = label("Label4", QStringLiteral("中控服务器："));
    Text3 = box("Text3");
    Label5 = label("Label5",
                   QStringLiteral(
                       "说明：只有当需要与其它第三方应用共享ACCESS_TOKEN时才选择“中控服务器”模式，"
                       "一般情况下都应使用“直接换取”模式。"));
    Label5->setWordWrap(true);
    Label2->setBuddy(Text1);
    Label3->setBuddy(Text2);
    Label4->setBuddy(Text3);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(20, 16, 20, 16);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->setSizeConstraint(QLayout::SetFixedSize); // a dialog of fixed size, like the schedule one
    auto *modes = new QHBoxLayout;
    modes->addWidget(Option2);
    modes->addSpacing(24);
    modes->addWidget(Option1);
    modes->addSpacing(24);
    modes->addWidget(Option3);
    modes->addStretch();
    grid->addWidget(Label1, 0, 0);
    grid->addLayout(modes, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Text1, 1, 1);
    grid->addWidget(Label3, 2, 0);
    grid->addWidget(Text2, 2, 1);
    grid->addWidget(showSecret, 2, 2);
    grid->addWidget(Label4, 3, 0);
    grid->addWidget(Text3, 3, 1);
    grid->addWidget(Label5, 4, 0, 1, 3);
    setTabOrder(Text2, showSecret);
    setTabOrder(showSecret, Text3);

    // A click only moves which boxes can be edited; every box keeps its text and is saved with it.
    for (QRadioButton *option : {Option2, Option1, Option3})
        connect(option, &QRadioButton::toggled, this, &Form5::enableBoxes);
    showMode(1);
}

void Form5::showMode(int mode)
{
    (mode == 3 ? Option3 : mode == 2 ? Option1 : Option2)->setChecked(true);
    enableBoxes();
}

void Form5::enableBoxes()
{
    // The stable token is exchanged with appid and appsecret, like the direct exchange.
    const bool credentials = !Option1->isChecked();
    Text1->setEnabled(credentials);
    Text2->setEnabled(credentials);
    Text3->setEnabled(!credentials);
}

void Form5::startLoading()
{
    runInBackground([&live = live()] { return loadAccount(live); },
                    [this](const Account &a) {
                        showMode(modeShown(a.get_token_mod));
                        Text1->setText(a.appid);
                        Text2->setText(a.appsecret);
                        Text3->setText(a.token_server);
                        // The window was disabled while it loaded, which took the focus away.
                        if (!focusWidget())
                            (Option1->isChecked()   ? Option1
                             : Option3->isChecked() ? Option3
                                                    : Option2)
                                ->setFocus();
                    });
}

bool Form5::nothingToSave() const
{
    // Whatever mode is selected: three empty boxes are taken as "nothing entered".
    return Text1->text().isEmpty() && Text2->text().isEmpty() && Text3->text().isEmpty();
}

bool Form5::readyToClose()
{
    if (m_saved || nothingToSave())
        return true;
    SaveAccountSettings(); // closes the dialog once the save has ended
    return false;
}

void Form5::SaveAccountSettings()
{
    if (nothingToSave()) {
        m_saved = true;
        close();
        return;
    }
    const Settings connection = live().snapshot();
    const QString mode = Option2->isChecked()   ? QStringLiteral("1")
                         : Option3->isChecked() ? QStringLiteral("3")
                                                : QStringLiteral("2");
    const std::array<QString, 4> values = {Text1->text(), Text2->text(), mode, Text3->text()};
    runInBackground([connection, values] { return storeAccount(connection, values); },
                    [this](const QString &cause) {
                        m_saved = true;
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
