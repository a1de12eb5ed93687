// The about box and the system-information button with its registry look-ups.
#include "desktop/frm_about.h"

#include "ui/app_icon.h"
#include "ui/message_box.h"

#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>

#ifdef Q_OS_WIN
#include <cstring>
#include <qt_windows.h>
#endif

namespace veltrano {

frmAbout::frmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowIcon(ui::appIcon());
    setFixedSize(430, 248);

    const auto label = [this](const char *name, const QString &text, const QRect &where) {
        auto *l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(where);
        return l;
    };

    picIcon = label("picIcon", QString(), QRect(20, 18, 48, 48));
    picIcon->setPixmap(ui::appIcon().pixmap(48, 48));

    lblTitle = label("lblTitle", QStringLiteral("Veltrano"), QRect(88, 14, 320, 32));
    QFont titleFont = lblTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    lblTitle->setFont(titleFont);

    lblVersion = label("lblVersion", QStringLiteral("版本：1.01"), QRect(88, 50, 320, 20));

    lblDescription = label("lblDescription",
                           QStringLiteral("应用程序描述：本程序与MSSQL接口，实现消息的定时、自动推送。"
                                          "包括模版消息和客服消息并且可以与第三方微信公众号管理系统接口。"),
                           QRect(88, 78, 322, 72));
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    const QColor lineColours[2] = {QColor(0x9A, 0xA5, 0xB1), Qt::white};
    for (int i = 0; i < 2; ++i) {
        auto *line = new QFrame(this);
        line->setObjectName(QStringLiteral("Line1"));
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Plain);
        line->setLineWidth(1);
        line->setGeometry(14, 162 + i, 402, 1);
        QPalette p = line->palette();
        p.setColor(QPalette::WindowText, lineColours[i]);
        line->setPalette(p);
        Line1[i] = line;
    }

    Label2 = label("Label2", QStringLiteral("官方网站 ") + webSite(), QRect(20, 182, 276, 20));
    Label2->setTextInteractionFlags(Qt::TextSelectableByMouse); // so the address can be copied

    const auto button = [this](const char *name, const QString &caption, int top) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(306, top, 110, 25);
        return b;
    };
    cmdOK = button("cmdOK", QStringLiteral("确定"), 176);
    cmdOK->setDefault(true);
    cmdSysInfo = button("cmdSysInfo", QStringLiteral("系统信息(&S)..."), 208);

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);

    Form_Load();
}

QString frmAbout::webSite()
{
    return QStringLiteral("https://veltrano.example.com");
}

void frmAbout::Form_Load()
{
    setWindowTitle(QStringLiteral("关于 "));
}

void frmAbout::cmdOK_Click()
{
    close();
}

void frmAbout::cmdSysInfo_Click()
{
    StartSysInfo();
}

void frmAbout::StartSysInfo()
{
    // Started as a separate program with its own window; nothing waits for it.
    const auto run = [](const QString &program) { return QProcess::startDetached(program, {}); };

    bool started = false;
    QString path;
    if (GetKeyValue(RegistryRoot::LocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), path)) {
        started = run(path); // the path the registry names is trusted to exist; starting tells
    } else if (GetKeyValue(RegistryRoot::LocalMachine,
                           QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                           QStringLiteral("MSINFO"), path)) {
        const QString program = path + QStringLiteral("\\MSINFO32.EXE");
        if (QFileInfo(program).isFile())
            started = run(program);
    }
    if (!started) {
        ui::showMessage(this, QStringLiteral("此时系统信息不可用"),
                        QGuiApplication::applicationDisplayName(), QMessageBox::Ok,
                        QMessageBox::NoIcon);
    }
}

#ifdef Q_OS_WIN
bool frmAbout::GetKeyValue(RegistryRoot root, const QString &keyName, const QString &valueName,
                           QString &value)
{
    // READ_CONTROL with every key-specific right, as the tool's registration has always been read.
    constexpr REGSAM kAccess = 0x2003F;
    const HKEY rootKey = root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    HKEY key = nullptr;
    if (RegOpenKeyExW(rootKey, reinterpret_cast<LPCWSTR>(keyName.utf16()), 0, kAccess, &key) != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const LONG queried = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(valueName.utf16()), nullptr,
                                          &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (queried != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    if (type == REG_SZ) {
        qsizetype chars = qsizetype(size / sizeof(wchar_t));
        // The stored text may or may not end in its NUL; keep what comes before it.
        while (chars > 0 && buffer[chars - 1] == L'\0')
            --chars;
        value = QString::fromWCharArray(buffer, chars);
    } else if (type == REG_DWORD && size >= sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, buffer, sizeof(number));
        value = QString::number(number);
    }
    return true;
}
#else
bool frmAbout::GetKeyValue(RegistryRoot, const QString &, const QString &, QString &value)
{
    value.clear(); // no registry here, so no system-information tool to find
    return false;
}
#endif

} // namespace veltrano
