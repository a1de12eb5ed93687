// The about box and the system-information button with its registry look-ups.
#include "desktop/frm_about.h"

#include "ui/app_icon.h"
#include "ui/fit_to_text.h"
#include "ui/message_box.h"

#include <QBoxLayout>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSysInfo>

#ifndef VELTRANO_HOMEPAGE
#define VELTRANO_HOMEPAGE ""
#endif

#ifdef Q_OS_WIN
#include <cstring>
#include <qt_windows.h>
#endif

namespace veltrano {

frmAbout::frmAbout(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowIcon(ui::appIcon());

    const auto label = [this](const char *name, const QString &text) {
        auto *l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };

    picIcon = label("picIcon", QString());
    picIcon->setPixmap(ui::appIcon().pixmap(48, 48));
    picIcon->setFixedSize(48, 48);

    lblTitle = label("lblTitle", QStringLiteral("Veltrano"));
    QFont titleFont = lblTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    lblTitle->setFont(titleFont);

    lblVersion = label("lblVersion", QStringLiteral("版本：" VELTRANO_VERSION));

    lblDescription = label("lblDescription", description());
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    const QColor lineColours[2] = {QColor(0x9A, 0xA5, 0xB1), Qt::white};
    auto *lines = new QVBoxLayout;
    lines->setSpacing(0);
    for (int i = 0; i < 2; ++i) {
        auto *line = new QFrame(this);
        line->setObjectName(QStringLiteral("Line1"));
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Plain);
        line->setLineWidth(1);
        line->setFixedHeight(1);
        QPalette p = line->palette();
        p.setColor(QPalette::WindowText, lineColours[i]);
        line->setPalette(p);
        Line1[i] = line;
        lines->addWidget(line);
    }

    Label2 = label("Label2", QStringLiteral("官方网站 ") + webSite());
    Label2->setTextInteractionFlags(Qt::TextSelectableByMouse); // so the address can be copied
    // Without a site of its own the line would point nowhere, so it is left out.
    Label2->setVisible(!webSite().isEmpty());

    const auto button = [this](const char *name, const QString &caption) {
        auto *b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setMinimumSize(110, 25);
        return b;
    };
    cmdOK = button("cmdOK", QStringLiteral("确定"));
    cmdOK->setDefault(true);
    cmdSysInfo = button("cmdSysInfo", QStringLiteral("系统信息(&S)..."));

    // Layouts rather than fixed places, so larger text makes the box grow instead of being cut.
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(20, 14, 14, 14);
    grid->setHorizontalSpacing(20);
    grid->setVerticalSpacing(6);
    grid->addWidget(picIcon, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(lblTitle, 0, 1);
    grid->addWidget(lblVersion, 1, 1);
    grid->addWidget(lblDescription, 2, 1);
    grid->setRowStretch(2, 1);
    grid->addLayout(lines, 3, 0, 1, 2);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(Label2, 0, Qt::AlignVCenter);
    bottom->addStretch(1);
    auto *buttons = new QVBoxLayout;
    buttons->setSpacing(7);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    bottom->addLayout(buttons);
    grid->addLayout(bottom, 4, 0, 1, 2);
    ui::fixSizeToText(this, QSize(430, 248));

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);

    Form_Load();
}

QString frmAbout::webSite()
{
    // A packager with a site sets it at build time; there is no made-up address to fall back on.
    return QStringLiteral(VELTRANO_HOMEPAGE);
}

QString frmAbout::description()
{
    return QStringLiteral(
        "应用程序描述：本程序与SQL Server或内置SQLite数据库接口，实现消息的定时、自动推送。"
        "包括模版消息和客服消息并且可以与第三方微信公众号管理系统接口。");
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

QString frmAbout::systemSummary()
{
    return QStringLiteral("操作系统：%1\n内核：%2 %3\n处理器架构：%4\n桌面平台：%5\nQt 版本：%6")
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
             QSysInfo::currentCpuArchitecture(), QGuiApplication::platformName(),
             QString::fromLatin1(qVersion()));
}

void frmAbout::StartSysInfo()
{
#ifndef Q_OS_WIN
    // Only Windows has a system-information tool to start; elsewhere the box shows what Qt knows.
    ui::showMessage(this, systemSummary(), QGuiApplication::applicationDisplayName(),
                    QMessageBox::Ok, QMessageBox::NoIcon);
#else
    // Started as a separate program with its own window; nothing waits for it.
    const auto run = [](const QString &program) { return QProcess::startDetached(program, {}); };

    bool started = false;
    QString path;
    if (GetKeyValue(RegistryRoot::LocalMachine,
                    QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
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
#endif
}

#ifdef Q_OS_WIN
bool frmAbout::GetKeyValue(RegistryRoot root, const QString &keyName, const QString &valueName,
                           QString &value)
{
    // Reading is all this needs; asking for write rights as well would fail for every user who
    // may only read HKEY_LOCAL_MACHINE, that is for everyone without elevation.
    constexpr REGSAM kAccess = KEY_READ;
    const HKEY rootKey =
        root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    HKEY key = nullptr;
    if (RegOpenKeyExW(rootKey, reinterpret_cast<LPCWSTR>(keyName.utf16()), 0, kAccess, &key)
        != ERROR_SUCCESS) {
        value.clear();
        return false;
    }
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const LONG queried = RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(valueName.utf16()),
                                          nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
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
