// What the dialog tests share: an application folder with a real SQLite database, and waiting.
#pragma once

#include "core/database.h"
#include "core/profile.h"
#include "core/settings.h"
#include "dialogs/settings_window.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QFile>
#include <QTest>
#include <gtest/gtest.h>

namespace veltrano::testsupport {

inline void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// An application folder whose config.ini names a fresh SQLite file (by default created with the
// schema and the eleven sysParam keys); the shared settings start empty, as after start-up.
class DialogTestFolder : public TempAppFolder {
public:
    DialogTestFolder() : DialogTestFolder("[con]\r\ndb=test.db\r\ndriver=sqlite\r\n")
    {
        Database created(connection(), 0, MissingFile::Create);
    }
    explicit DialogTestFolder(const QByteArray &configIni)
    {
        writeFile(file("config.ini"), configIni);
        testsupport::liveSettings().update([](Settings &s) { s = Settings(); });
        ui::testing::reset();
    }

    // The connection config.ini names, as the dialogs reach it.
    Settings connection() const
    {
        Settings s;
        s.db = QStringLiteral("test.db");
        s.driver = QStringLiteral("sqlite");
        return s;
    }

    void setParam(const QString &key, const QString &value) const
    {
        Database db(connection());
        db.exec(db.sql().updateParam, {value, key});
    }

    QString param(const QString &key) const
    {
        Database db(connection());
        QSqlQuery q = db.exec(db.sql().selectParam, {key});
        return q.next() ? q.value(2).toString() : QStringLiteral("<no row>");
    }
};

// A config.ini whose database cannot be reached: the SQLite file would lie inside a regular file.
inline QByteArray unreachableConfig()
{
    return "[con]\r\ndb=config.ini/no.db\r\ndriver=sqlite\r\n";
}

inline bool waitIdle(const SettingsWindow &w)
{
    return QTest::qWaitFor([&] { return !w.isBusy(); }, 30000);
}

// Shows the window and waits until it is active and has read its settings.
inline bool showAndWaitIdle(SettingsWindow &w)
{
    w.show();
    return QTest::qWaitForWindowActive(&w) && waitIdle(w);
}

// Asks the window to close and waits until it has really gone (a save may run first).
inline bool closeAndWait(SettingsWindow &w)
{
    w.close();
    return QTest::qWaitFor([&] { return !w.isVisible() && !w.isBusy(); }, 30000);
}

inline QStringList shownTexts()
{
    QStringList texts;
    for (const auto &m : ui::testing::shown())
        texts << m.title + u'|' + m.text;
    return texts;
}

} // namespace veltrano::testsupport
