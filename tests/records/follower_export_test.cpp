// "粉丝导出" from the menu against the fake WeChat API: the question, the notices, the workbook on
// disk.
#include "app/form1.h"
#include "core/logger.h"
#include "core/send_service.h"
#include "records/follower_export.h"
#include "records/xlsx_reader.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
#include "support/log_lines.h"
#include "support/sqlite_queue.h"
#include "ui/message_box.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

// A SQLite message database whose parameters take the token straight from the fake API, the
// export folder redirected, the opener recorded instead of run, and the lines logged.
class ExportSetup {
public:
    explicit ExportSetup(FakeWeChat &fake) : m_base(fake)
    {
        queue.setParam("appid", "wxtest");
        queue.setParam("appsecret", "secret");
        exportDir = m_out.filePath(QStringLiteral("文档/导出")); // missing: the export creates it
        setExportFolder(exportDir);
        setWorkbookOpener([this](const QString &path) {
            opened << path;
            return openerWorks;
        });
        ui::testing::reset();
    }
    ~ExportSetup()
    {
        setExportFolder(QString());
        setWorkbookOpener({});
        ui::testing::reset();
    }

    // Chooses "粉丝导出", answers the question, and waits until the run has ended.
    bool runFromMenu(Form1 &w, QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        ui::testing::answerNext(answer);
        w.fans->trigger();
        FollowerExport *run = w.followerExport();
        if (!run)
            return false;
        QSignalSpy ended(run, &FollowerExport::finished);
        EXPECT_TRUE(ended.wait(120000));
        return true;
    }

    QStringList filesLeft() const
    {
        return QDir(exportDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    testsupport::SqliteQueue queue;
    QString exportDir;
    QStringList opened;
    bool openerWorks = true;
    QStringList logged;

private:
    testsupport::ScopedApiBase m_base;
    QTemporaryDir m_out;
    std::unique_ptr<QObject> m_logging = testsupport::collectLogLines(logged);
};

} // namespace

TEST(FollowerExport, CancelInTheQuestionDoesNothing)
{
    FakeWeChat fake;
    fake.setFollowerCount(3);
    ExportSetup setup(fake);
    Form1 w(testsupport::liveSettings());
    EXPECT_FALSE(setup.runFromMenu(w, QMessageBox::Cancel));
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].text, "根据粉丝数量的多少，导出到EXCEL时间可能会比较长，请耐心等待！\r\n请确"
                             "认是否立即导出？");
    EXPECT_EQ(shown[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_TRUE(fake.requests().empty()) << "no request, not even for a token";
    EXPECT_EQ(w.followerExport(), nullptr);
    EXPECT_TRUE(w.fans->isEnabled());
    EXPECT_FALSE(QDir(setup.exportDir).exists());
}

TEST(FollowerExport, EveryFollowerLandsInTheWorkbookInListOrder)
{
    FakeWeChat fake;
    fake.setFollowerCount(250);
    ExportSetup setup(fake);
    Form1 w(testsupport::liveSettings());
    ASSERT_TRUE(setup.runFromMenu(w));
    EXPECT_EQ(ui::testing::shown().size(), 1) << "only the question";
    EXPECT_TRUE(w.fans->isEnabled());

    ASSERT_EQ(setup.opened.size(), 1);
    const QString path = setup.opened.first();
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(setup.exportDir).absoluteFilePath());
    EXPECT_TRUE(QRegularExpression("^粉丝导出_\\d{8}_\\d{6}\\.xlsx$")
                    .match(QFileInfo(path).fileName())
                    .hasMatch())
        << path.toStdString();
    EXPECT_EQ(setup.filesLeft(), QStringList{QFileInfo(path).fileName()})
        << "no temporary file remains";
    EXPECT_TRUE(setup.logged.contains("  粉丝已导出到：" + QDir::toNativeSeparators(path)))
        << setup.logged.join("|").toStdString();

    const auto sheet = testsupport::readXlsxSheet(path);
    ASSERT_EQ(sheet.rows.size(), 251);
    QStringList column;
    for (int row = 2; row <= 251; ++row)
        column << sheet.cell(row, "B").text;
    EXPECT_EQ(column, fake.followers());
    EXPECT_EQ(sheet.cell(251, "C").text, "粉丝250");
    EXPECT_EQ(sheet.cell(2, "H").type, "n");
}

TEST(FollowerExport, FailuresShowTheirNoticeAndLeaveNoFile)
{
    // WeChat refuses the second hundred to arrive, after the first has gone into the file.
    {
        FakeWeChat fake;
        fake.setFollowerCount(1000);
        fake.failNext("/cgi-bin/user/info/batchget", 1, FakeWeChat::Fault::delay(0));
        fake.failNext("/cgi-bin/user/info/batchget", 1,
                      FakeWeChat::Fault::error(45009, "reach max api daily quota limit"));
        ExportSetup setup(fake);
        Form1 w(testsupport::liveSettings());
        ASSERT_TRUE(setup.runFromMenu(w));
        const auto shown = ui::testing::shown();
        ASSERT_EQ(shown.size(), 2);
        EXPECT_EQ(shown[1].buttons, QMessageBox::Ok);
        EXPECT_TRUE(shown[1].text.startsWith("{\"errcode\":45009,\"errmsg\":\"reach max"))
            << shown[1].text.toStdString();
        EXPECT_TRUE(setup.opened.isEmpty());
        EXPECT_EQ(setup.filesLeft(), QStringList());
        EXPECT_TRUE(w.fans->isEnabled());
    }
    // A folder that cannot be made is told before any request.
    {
        FakeWeChat fake;
        fake.setFollowerCount(3);
        ExportSetup setup(fake);
        QTemporaryDir blocked;
        QFile file(blocked.filePath("文件"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        setExportFolder(blocked.filePath("文件/导出")); // below a plain file: no folder there
        Form1 w(testsupport::liveSettings());
        ASSERT_TRUE(setup.runFromMenu(w));
        const auto shown = ui::testing::shown();
        ASSERT_EQ(shown.size(), 2);
        EXPECT_TRUE(shown[1].text.startsWith("无法创建导出文件夹 ")) << shown[1].text.toStdString();
        EXPECT_TRUE(fake.requests().empty());
        EXPECT_TRUE(setup.opened.isEmpty());
    }
}

TEST(FollowerExport, CancelDuringASlowRequestAbandonsItAndLeavesNoFile)
{
    FakeWeChat fake;
    fake.setFollowerCount(5000);
    // Two batchgets come at once, then WeChat stalls on the third for a minute.
    fake.failNext("/cgi-bin/user/info/batchget", 2, FakeWeChat::Fault::delay(0));
    fake.failNext("/cgi-bin/user/info/batchget", 1, FakeWeChat::Fault::delay(60000));
    ExportSetup setup(fake);
    Form1 w(testsupport::liveSettings());
    ui::testing::answerNext(QMessageBox::Ok);
    w.fans->trigger();
    FollowerExport *run = w.followerExport();
    ASSERT_NE(run, nullptr);
    EXPECT_FALSE(w.fans->isEnabled()) << "one export at a time";
    QProgressDialog *progress = run->progressDialog();
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(progress->isVisible());
    QSignalSpy ended(run, &FollowerExport::finished);
    // Whichever hundred met the stall, the rows after it wait for it, so the export cannot end.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return fake.requestCount("/cgi-bin/user/info/batchget") >= 3; },
                        60000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return progress->maximum() == 5000; }, 60000));
    QTest::qWait(200);
    EXPECT_LT(progress->value(), 5000);
    QPushButton *cancel = progress->findChild<QPushButton *>();
    ASSERT_NE(cancel, nullptr);
    QElapsedTimer clock;
    clock.start();
    cancel->click();
    ASSERT_TRUE(ended.wait(30000));
    EXPECT_LT(clock.elapsed(), 5000) << "the stalled request is abandoned, not waited for";
    EXPECT_EQ(ui::testing::shown().size(), 1) << "only the question";
    EXPECT_TRUE(setup.opened.isEmpty());
    EXPECT_EQ(setup.filesLeft(), QStringList());
    EXPECT_TRUE(w.fans->isEnabled());
    EXPECT_FALSE(setup.logged.join('|').contains("失败")) << setup.logged.join('|').toStdString();
}

// A batch that falls due while WeChat is slow to answer the export runs on time.
TEST(FollowerExport, ABatchDuringASlowExportRunsOnTime)
{
    FakeWeChat fake;
    fake.setFollowerCount(10);
    fake.failNext("/cgi-bin/user/get", 1, FakeWeChat::Fault::delay(60000));
    ExportSetup setup(fake);
    setup.queue.add(QByteArray(R"({"touser":"o1"})"), 1);
    fake.setCredentials("wxtest", "secret");
    Form1 w(testsupport::liveSettings());
    ui::testing::answerNext(QMessageBox::Ok);
    w.fans->trigger();
    ASSERT_NE(w.followerExport(), nullptr);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return fake.requestCount("/cgi-bin/user/get") == 1; }, 10000));

    QSignalSpy batch(w.service(), &SendService::batchFinished);
    w.service()->runBatchNow();
    ASSERT_TRUE(batch.wait(10000)) << "the batch does not wait for the export";
    EXPECT_EQ(fake.sendCount(), 1);
    EXPECT_NE(w.followerExport(), nullptr) << "the export is still waiting for WeChat";
    w.followerExport()->progressDialog()->findChild<QPushButton *>()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.followerExport() == nullptr; }, 10000));
}

TEST(FollowerExport, AnAnswerInAnErrorBoxIsPlainText)
{
    ui::testing::setEnabled(false);
    const auto restore = qScopeGuard([] { ui::testing::setEnabled(true); });
    Qt::TextFormat format = Qt::AutoText;
    QString text;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        format = box->textFormat();
        text = box->text();
        box->accept();
    });
    const QString page = QStringLiteral("<html><body><h1>502 Bad Gateway</h1></body></html>");
    ui::showMessage(nullptr, page, QStringLiteral("提示！"));
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(text, page);
}

TEST(FollowerExport, WithoutAProgramToOpenItTheNoticeGivesThePath)
{
    FakeWeChat fake;
    fake.setFollowerCount(2);
    ExportSetup setup(fake);
    setup.openerWorks = false;
    Form1 w(testsupport::liveSettings());
    ASSERT_TRUE(setup.runFromMenu(w));
    ASSERT_EQ(setup.opened.size(), 1);
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 2);
    EXPECT_TRUE(shown[1].text.endsWith(QDir::toNativeSeparators(setup.opened.first())))
        << shown[1].text.toStdString();
    EXPECT_TRUE(QFile::exists(setup.opened.first()));
}
