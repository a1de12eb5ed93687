// The official account dialog: appid, appsecret and how the access token is obtained.
#pragma once

#include "dialogs/settings_window.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace veltrano {

class Form5 : public SettingsWindow {
    Q_OBJECT
public:
    explicit Form5(SharedSettings &live, QWidget *parent = nullptr);

    QLabel *Label1 = nullptr;
    QRadioButton *Option2 = nullptr; // "直接换取(建议)": mode "1"
    QRadioButton *Option1 = nullptr; // "中控服务器": mode "2"
    QRadioButton *Option3 = nullptr; // "稳定版接口（多个程序共用公众号时建议）": mode "3"
    QLabel *Label2 = nullptr;
    QLineEdit *Text1 = nullptr; // appid
    QLabel *Label3 = nullptr;
    QLineEdit *Text2 = nullptr; // appsecret, masked until showSecret is ticked
    QCheckBox *showSecret = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *Text3 = nullptr; // token_server
    QLabel *Label5 = nullptr;

    // Writes appid, appsecret, get_token_mod and token_server to sysParam in the background
    // (nothing when all three boxes are empty), says once when that failed, and closes the
    // dialog either way. Closing the dialog runs it.
    void SaveAccountSettings();

protected:
    bool readyToClose() override;

private:
    void buildControls();
    void startLoading();
    void showMode(int mode);
    void enableBoxes();
    bool nothingToSave() const;

    bool m_saved = false;
};

} // namespace veltrano
