// The about box: name, version, description and web site, and a way to the system-information tool.
#pragma once

#include <QDialog>

#include <array>

class QFrame;
class QLabel;
class QPushButton;

namespace veltrano {

class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget *parent = nullptr);

    // The product's web address, set at build time (VELTRANO_HOMEPAGE); empty hides its line.
    static QString webSite();
    static QString description();
    // What Qt knows of this system, as the system-information button shows it off Windows.
    static QString systemSummary();

    // The registry roots GetKeyValue can read from.
    enum class RegistryRoot { LocalMachine, CurrentUser };

    // Reads one registry value as text into value and says whether it was found; a missing key or
    // value leaves value empty. Only Windows has a registry: elsewhere nothing is ever found.
    static bool GetKeyValue(RegistryRoot root, const QString &keyName, const QString &valueName,
                            QString &value);

    // On Windows, starts the system-information tool the registry names, or says it is
    // unavailable; elsewhere shows systemSummary().
    void StartSysInfo();

    QLabel *picIcon = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblDescription = nullptr;
    QLabel *Label2 = nullptr;
    std::array<QFrame *, 2> Line1{}; // dark line over a light one: one etched separator
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;

public Q_SLOTS:
    void cmdOK_Click();
    void cmdSysInfo_Click();

private:
    void Form_Load();
};

} // namespace veltrano
