// The export's workbook: header row, value types as JSON gives them, full sheets, nothing left on
// failure.
#include "records/follower_workbook.h"
#include "records/xlsx_reader.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::readXlsxSheet;

namespace {
ProfileRow profile(int n)
{
    return {QJsonValue(1),
            QJsonValue(QStringLiteral("oID%1").arg(n)),
            QJsonValue(QStringLiteral("粉丝%1").arg(n)),
            QJsonValue(n % 3),
            QJsonValue(QStringLiteral("深圳")),
            QJsonValue(QStringLiteral("中国")),
            QJsonValue(QStringLiteral("广东")),
            QJsonValue(qint64(1700000000) + n)};
}
} // namespace

TEST(FollowerWorkbook, HeadersThenValuesWithTheirJsonTypes)
{
    QTemporaryDir dir;
    const QStringList headers = {"subscribe", "openid",  "nickname", "sex",
                                 "city",      "country", "province", "subscribe_time"};
    // No followers at all still make a workbook: the header row alone.
    FollowerWorkbook(dir.filePath("empty.xlsx")).finish();
    const auto empty = readXlsxSheet(dir.filePath("empty.xlsx"));
    EXPECT_EQ(empty.rows.size(), 1);
    EXPECT_EQ(empty.texts(1), headers);

    const QString path = dir.filePath("out.xlsx");
    {
        FollowerWorkbook book(path);
        book.addFollower(profile(1));
        book.addFollower({QJsonValue(0), QJsonValue("oX'\"<&>"), QJsonValue(""), QJsonValue(true),
                          QJsonValue(QJsonValue::Null), QJsonValue(QJsonArray{1, "a"}),
                          QJsonValue("12"), QJsonValue(1.5)});
        book.finish();
    }
    EXPECT_EQ(testsupport::xlsxSheetNames(path), QStringList{"sheet1"});
    const auto sheet = readXlsxSheet(path);
    ASSERT_EQ(sheet.rows.size(), 3);
    EXPECT_EQ(sheet.texts(1), headers);
    EXPECT_EQ(sheet.texts(2),
              QStringList({"1", "oID1", "粉丝1", "1", "深圳", "中国", "广东", "1700000001"}));
    // Numbers are numbers, texts are texts (inline in the streaming mode).
    for (const char *column : {"A", "D", "H"})
        EXPECT_EQ(sheet.cell(2, column).type, "n") << column;
    for (const char *column : {"B", "C", "E", "F", "G"})
        EXPECT_EQ(sheet.cell(2, column).type, "inlineStr") << column;
    EXPECT_EQ(sheet.cell(1, "A").type, "inlineStr");

    EXPECT_EQ(sheet.texts(3), QStringList({"0", "oX'\"<&>", "", "1", "", "[1,\"a\"]", "12", "1.5"}))
        << "an empty text and a null are empty cells, other JSON is written as JSON";
    EXPECT_EQ(sheet.cell(3, "D").type, "b");
    EXPECT_EQ(sheet.cell(3, "G").type, "inlineStr") << "a text of digits stays a text";
}

TEST(FollowerWorkbook, AFullSheetContinuesOnTheNextWithItsOwnHeaders)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.xlsx");
    FollowerWorkbook book(path, 3); // the header and two followers per sheet
    for (int n = 1; n <= 5; ++n)
        book.addFollower(profile(n));
    book.finish();
    EXPECT_EQ(testsupport::xlsxSheetNames(path), QStringList({"sheet1", "sheet2", "sheet3"}));
    QStringList openids;
    for (int number = 1; number <= 3; ++number) {
        const auto sheet = readXlsxSheet(path, number);
        EXPECT_EQ(sheet.cell(1, "A").text, "subscribe") << number;
        for (int row = 2; row <= sheet.rows.size(); ++row)
            openids << sheet.cell(row, "B").text;
    }
    EXPECT_EQ(openids, QStringList({"oID1", "oID2", "oID3", "oID4", "oID5"}));
}

TEST(FollowerWorkbook, AnUnfinishedWorkbookLeavesNoFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.xlsx");
    {
        FollowerWorkbook book(path);
        book.addFollower(profile(1));
        EXPECT_TRUE(QFile::exists(path))
            << "the file is claimed at once, so a bad folder shows early";
    }
    EXPECT_FALSE(QFile::exists(path));
    {
        FollowerWorkbook book(path);
        book.discard();
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    try {
        FollowerWorkbook book(dir.filePath("missing/sub/out.xlsx"));
        FAIL() << "no error";
    } catch (const ExportSinkError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith("无法创建导出文件 ")) << e.what();
    }
}
