// The database connection dialog: edits config.ini and keeps it only when the connection opens.
#pragma once

#include "core/settings.h"
#include "dialogs/settings_window.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace veltrano {

class Form2 : public SettingsWindow {
    Q_OBJECT
public:
    explicit Form2(SharedSettings &live, QWidget *parent = nullptr);

    // Rows of the four connection values: 0 server, 1 login, 2 password, 3 database (or file).
    QLabel *Label1[4] = {};
    QLineEdit *Text1[4] = {};
    QLabel *driverLabel = nullptr;
    QComboBox *driverKind = nullptr; // 0: SQL Server, 1: the embedded SQLite file
    QPushButton *save = nullptr;

    static constexpr int kSqlServer = 0;
    static constexpr int kSqlite = 1;

public Q_SLOTS:
    // Tests a connection with the typed values; only when it opens are they written to
    // config.ini (and read back into the live values) and the dialog closed. A failed test
    // says so and leaves config.ini, the live values and the typed values as they are.
    void SaveConnectionSettings();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    Settings typedSettings() const;
    void buildControls();
    void loadSettings();
    void showDriverKind(int kind);
};

} // namespace veltrano
