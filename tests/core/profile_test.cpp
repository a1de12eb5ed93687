// The settings file keeps the Windows profile semantics, and every typed password comes back.
#include "core/profile.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {
QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}
} // namespace

TEST(Profile, MissingFileSectionOrKeyReadsEmpty)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), "");
    writeAll(ini, "[other]\nhost=x\n[con]\nuid=sa\n");
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), "");
    EXPECT_EQ(ReadProfileValue(ini, "nosuch", "uid"), "");
    EXPECT_EQ(ReadProfileValue(ini, "con", "uid"), "sa");
}

TEST(Profile, CreatesFileAndSectionOnDemand)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", "db1"));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "uid", "sa"));
    EXPECT_EQ(readAll(ini).replace("\r\n", "\n"), "[con]\nhost=db1\nuid=sa\n");
}

TEST(Profile, ReplacesInPlaceAndKeepsEveryOtherLine)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    writeAll(ini,
             "; operator notes\r\n[CON]\r\nHOST = old\r\nuid=sa\r\n\r\n[other]\r\npwd=keep\r\n");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", "new"));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", "veltrano"));
    ASSERT_TRUE(WriteProfileValue(ini, "more", "k", "v"));
    EXPECT_EQ(readAll(ini), "; operator notes\r\n[CON]\r\nhost=new\r\nuid=sa\r\ndb=veltrano\r\n\r\n"
                            "[other]\r\npwd=keep\r\n[more]\r\nk=v\r\n");
    EXPECT_EQ(ReadProfileValue(ini, "Con", "Host"), "new");
    EXPECT_EQ(ReadProfileValue(ini, "other", "PWD"), "keep");
}

TEST(Profile, ConnectionValuesAreReadWhole)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    // A real queue's path of 151 bytes: cut at 119 it would name another, new database.
    const QString path = "D:/业务系统/微信公众号/消息队列/正式环境/数据库备份与迁移/2026年度归档/"
                         "华东区域/上海/veltrano_正式消息库.db";
    ASSERT_GT(path.toUtf8().size(), 119);
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", path));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "pwd", ShiftPassword(QString(200, u'p'), true)));
    testsupport::loadConnection();
    EXPECT_EQ(testsupport::liveSettings().snapshot().db, path);
    EXPECT_EQ(testsupport::liveSettings().snapshot().pwd, QString(200, u'p'));
    EXPECT_EQ(ReadProfileValue(ini, "con", "db"), path);
    // A buffer size still cuts as the Windows call does, never inside a character.
    EXPECT_EQ(ReadProfileValue(ini, "con", "pwd", 120).size(), 119);
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", QString(50, u'库')));
    EXPECT_EQ(ReadProfileValue(ini, "con", "db", 120), QString(39, u'库'));
}

TEST(Profile, AByteOrderMarkIsAcceptedAndKept)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    writeAll(ini, "\xEF\xBB\xBF[con]\r\nhost=srv\r\ndriver=sqlite\r\n");
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), "srv");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", "q.db"));
    EXPECT_EQ(readAll(ini), "\xEF\xBB\xBF[con]\r\nhost=srv\r\ndriver=sqlite\r\ndb=q.db\r\n");
    testsupport::loadConnection();
    EXPECT_EQ(testsupport::liveSettings().snapshot().driver, "sqlite");
}

// A file an older copy wrote in the system code page (GBK on a Chinese Windows) keeps reading, and
// a new value beside it is written as UTF-8, so it holds any character.
TEST(Profile, ACodePageLineStillReadsBesideNewUtf8Ones)
{
    QString legacy;
    for (const QString &candidate : {QStringLiteral("数据库"), QStringLiteral("base_données")}) {
        const QByteArray bytes = candidate.toLocal8Bit();
        if (QString::fromLocal8Bit(bytes) == candidate && bytes != candidate.toUtf8())
            legacy = candidate;
    }
    if (legacy.isEmpty())
        GTEST_SKIP() << "the system code page is UTF-8: every line is UTF-8";
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    writeAll(ini, "[con]\r\ndb=" + legacy.toLocal8Bit() + ".db\r\n");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", QStringLiteral("服务器😀")));
    EXPECT_EQ(ReadProfileValue(ini, "con", "db"), legacy + ".db");
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), QStringLiteral("服务器😀"));
}

TEST(Profile, RefusesLineBreaksThatWouldSplitTheLine)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", "a"));
    EXPECT_FALSE(WriteProfileValue(ini, "con", "host", "b\n[evil]"));
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), "a");
}

TEST(ShiftPassword, ShiftsByFive)
{
    EXPECT_EQ(ShiftPassword("abc", true), "fgh");
    EXPECT_EQ(ShiftPassword("fgh"), "abc");
    EXPECT_EQ(ShiftPassword("a", true), "f");
    EXPECT_EQ(ShiftPassword("Z", true), "_");
    EXPECT_EQ(ShiftPassword("9", true), ">");
    EXPECT_EQ(ShiftPassword(" ", true), "%");
    EXPECT_EQ(ShiftPassword("", true), "");
    EXPECT_EQ(ShiftPassword(""), "");
    const QString chinese = QStringLiteral("密码");
    QString raised;
    for (QChar c : chinese)
        raised += QChar(char16_t(c.unicode() + 5));
    EXPECT_EQ(ShiftPassword(chinese, true), raised);
    EXPECT_EQ(ShiftPassword(raised), chinese);
}

TEST(ShiftPassword, AwkwardCharactersSurviveTheFile)
{
    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    const QStringList passwords = {
        "{|}~",
        "p@$$w0rd;=[x]",
        "  lead and trail  ",
        QString(QChar(0x7FFB)) + QChar(0x7FFF),
        QStringLiteral("中文密码😀"),
        QString(QChar(0xFFFC)) + QChar(0xD7FE) + "#",
        "$0041",
    };
    for (const QString &typed : passwords) {
        ASSERT_TRUE(WriteProfileValue(ini, "con", "pwd", ShiftPassword(typed, true)));
        EXPECT_EQ(ShiftPassword(ReadProfileValue(ini, "con", "pwd")), typed) << typed.toStdString();
    }
}

TEST(Profile, LoadConnectionSettingsFillsTheSharedFields)
{
    testsupport::TempAppFolder folder;
    testsupport::loadConnection();
    Settings s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(s.host + s.uid + s.pwd + s.db, "");

    writeAll(folder.file("config.ini"),
             "[con]\nhost=10.0.0.5\nuid=sa\npwd=fgh\ndb=wx\ndriver=sqlite\n");
    testsupport::loadConnection();
    s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(s.host, "10.0.0.5");
    EXPECT_EQ(s.uid, "sa");
    EXPECT_EQ(s.pwd, "abc");
    EXPECT_EQ(s.db, "wx");
    EXPECT_EQ(s.driver, "sqlite");
}
