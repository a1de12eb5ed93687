// The settings file keeps the Windows profile semantics, and every typed password comes back.
#include "core/profile.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {

// config.ini in a fresh application folder, read and written byte for byte.
class Profile : public ::testing::Test {
protected:
    QByteArray read() const
    {
        QFile f(ini);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void write(const QByteArray &data) const
    {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
};

} // namespace

TEST_F(Profile, AMissingFileReadsEmptyAndIsCreatedByTheFirstWrite)
{
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), "");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", "db1"));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "uid", "sa"));
    EXPECT_EQ(read().replace("\r\n", "\n"), "[con]\nhost=db1\nuid=sa\n");
}

// Notepad's byte-order mark, a commented-out key, names in another case and blanks around them: a
// value is found and replaced in its own line, a new key goes after its section's last line, and a
// line break, which would split the line and could open a section of its own, is refused.
TEST_F(Profile, ReplacesInPlaceAndKeepsEveryOtherLine)
{
    const QByteArray before = "\xEF\xBB\xBF[CON]\r\n;host=commented out\r\nHOST = old\r\nuid=sa\r\n"
                              "\r\n[other]\r\npwd=keep\r\n";
    write(before);
    EXPECT_EQ(ReadProfileValue(ini, "Con", "host"), "old");
    EXPECT_EQ(ReadProfileValue(ini, "con", "pwd"), "") << "a key of another section";
    EXPECT_EQ(ReadProfileValue(ini, "nosuch", "uid"), "");
    EXPECT_FALSE(WriteProfileValue(ini, "con", "host", "b\n[evil]"));
    EXPECT_FALSE(WriteProfileValue(ini, "con", "host", "b\rc"));
    EXPECT_EQ(read(), before);

    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", "new"));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", "veltrano"));
    ASSERT_TRUE(WriteProfileValue(ini, "more", "k", "v"));
    EXPECT_EQ(read(), "\xEF\xBB\xBF[CON]\r\n;host=commented out\r\nhost=new\r\nuid=sa\r\n"
                      "db=veltrano\r\n\r\n[other]\r\npwd=keep\r\n[more]\r\nk=v\r\n");
    EXPECT_EQ(ReadProfileValue(ini, "other", "PWD"), "keep");
}

TEST_F(Profile, ConnectionValuesAreReadWhole)
{
    // A real queue's path of 151 bytes: cut at 119 it would name another, new database.
    const QString path = "D:/业务系统/微信公众号/消息队列/正式环境/数据库备份与迁移/2026年度归档/"
                         "华东区域/上海/veltrano_正式消息库.db";
    ASSERT_GT(path.toUtf8().size(), 119);
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", path));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "pwd", ShiftPassword(QString(200, u'p'), true)));
    testsupport::loadConnection();
    EXPECT_EQ(testsupport::liveSettings().snapshot().db, path);
    EXPECT_EQ(testsupport::liveSettings().snapshot().pwd, QString(200, u'p'));
    // A buffer size still cuts as the Windows call does, never inside a character.
    EXPECT_EQ(ReadProfileValue(ini, "con", "pwd", 120).size(), 119);
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", QString(50, u'库')));
    EXPECT_EQ(ReadProfileValue(ini, "con", "db", 120), QString(39, u'库'));
}

// A file an older copy wrote in the system code page (GBK on a Chinese Windows) keeps reading, and
// a new value beside it is written as UTF-8, so it holds any character.
TEST_F(Profile, ACodePageLineStillReadsBesideNewUtf8Ones)
{
    QString legacy;
    for (const QString &candidate : {QStringLiteral("数据库"), QStringLiteral("base_données")}) {
        const QByteArray bytes = candidate.toLocal8Bit();
        if (QString::fromLocal8Bit(bytes) == candidate && bytes != candidate.toUtf8())
            legacy = candidate;
    }
    if (legacy.isEmpty())
        GTEST_SKIP() << "the system code page is UTF-8: every line is UTF-8";
    write("[con]\r\ndb=" + legacy.toLocal8Bit() + ".db\r\n");
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", QStringLiteral("服务器😀")));
    EXPECT_EQ(ReadProfileValue(ini, "con", "db"), legacy + ".db");
    EXPECT_EQ(ReadProfileValue(ini, "con", "host"), QStringLiteral("服务器😀"));
}

TEST_F(Profile, LoadConnectionSettingsFillsTheSharedFields)
{
    write("[con]\nhost=10.0.0.5\nuid=sa\npwd=fgh\ndb=wx\ndriver=sqlite\nencrypt=strict\n");
    testsupport::loadConnection();
    const Settings s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(QStringList({s.host, s.uid, s.pwd, s.db, s.driver, s.encrypt}),
              QStringList({"10.0.0.5", "sa", "abc", "wx", "sqlite", "strict"}));
}

// The stored form is the one every copy of the program reads: each character raised by five, and
// one that would not survive the file as $ and its four hex digits.
TEST(ShiftPassword, EveryTypedPasswordComesBackFromTheFile)
{
    EXPECT_EQ(ShiftPassword("abc Z9", true), "fgh%_>");
    EXPECT_EQ(ShiftPassword("fgh%_>"), "abc Z9");
    QString raised;
    for (QChar c : QStringLiteral("密码"))
        raised += QChar(char16_t(c.unicode() + 5));
    EXPECT_EQ(ShiftPassword(QStringLiteral("密码"), true), raised);

    testsupport::TempAppFolder folder;
    const QString ini = folder.file("config.ini");
    const QStringList passwords = {
        "",
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
