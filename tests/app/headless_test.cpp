// The program without a window: --help, --version, --once and --service as real child processes
// with no display, against a SQLite queue and the fake WeChat API.
#include "core/profile.h"
#include "core/sender_lease.h"
#include "support/fake_wechat.h"
#include "support/sqlite_queue.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#ifdef Q_OS_UNIX
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using namespace veltrano;

namespace {

constexpr auto kTemplatePath = "/cgi-bin/message/template/send";

// The installed program, started the way an init system or a shell would. QT_QPA_PLATFORM names
// the X11 plugin while DISPLAY is unset, so a window mode would fail at once.
class Child {
public:
    // `stdoutFd` >= 0 becomes the child's standard output instead of a pipe this end reads.
    Child(const QStringList &arguments, const QString &apiBase = {}, const QString &tickMs = {},
          int stdoutFd = -1, const QString &program = QStringLiteral(VELTRANO_EXE))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("JOURNAL_STREAM"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8")); // dates must not follow it
        if (!apiBase.isEmpty())
            env.insert(QStringLiteral("VELTRANO_API_BASE"), apiBase);
        if (!tickMs.isEmpty())
            env.insert(QStringLiteral("VELTRANO_TICK_MS"), tickMs);
        m_process.setProcessEnvironment(env);
#ifdef Q_OS_UNIX
        if (stdoutFd >= 0)
            m_process.setChildProcessModifier([stdoutFd] { ::dup2(stdoutFd, 1); });
#else
        Q_UNUSED(stdoutFd);
#endif
        m_process.start(program, arguments);
        m_process.waitForStarted();
    }
    ~Child()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // The exit code once it has ended normally; -1 for a crash or a time-out.
    int exitCode(int ms = 30000)
    {
        if (!m_process.waitForFinished(ms) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }
    QString out()
    {
        return m_out += QString::fromUtf8(m_process.readAllStandardOutput());
    }
    QString err()
    {
        return m_err += QString::fromUtf8(m_process.readAllStandardError());
    }
    void terminate()
    {
        m_process.terminate();
    } // SIGTERM
    // Waits until standard output holds `text`.
    bool waitForOutput(const QString &text, int ms = 20000)
    {
        while (!out().contains(text)) {
            if (!m_process.waitForReadyRead(ms))
                return false;
        }
        return true;
    }

private:
    QProcess m_process;
    QString m_out;
    QString m_err;
};

QString templateBody(int n)
{
    return QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n);
}

// A queue with an account, ready for a batch.
struct HeadlessQueue {
    testsupport::SqliteQueue queue;
    testsupport::FakeWeChat fake;
    HeadlessQueue(int rows)
    {
        queue.setParam("appid", "wxAPP");
        queue.setParam("appsecret", "SECRET");
        for (int n = 0; n < rows; ++n)
            queue.add(templateBody(n), 1);
    }
    QStringList args(const char *mode) const
    {
        return {QString::fromLatin1(mode), QStringLiteral("--config"), configFilePath()};
    }
};

bool ownerOnly(const QString &path)
{
#ifdef Q_OS_WIN
    // Windows keeps others out by the folder's access list; files have no modes to check.
    return QFileInfo::exists(path);
#endif
    return QFileInfo::exists(path)
           && QFile::permissions(path)
                  == (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                      | QFileDevice::WriteUser);
}

QString todaysLog(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("logs/")
                                 + QDate::currentDate().toString(u"yyyy-MM-dd")
                                 + QStringLiteral(".log"));
}

} // namespace

TEST(Headless, HelpAndVersionNeedNoDisplay)
{
    Child help({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode(), 0) << help.err().toStdString();
    EXPECT_TRUE(help.out().contains("--service"));
    EXPECT_TRUE(help.out().contains("--once"));
    EXPECT_TRUE(help.out().contains("VELTRANO_API_BASE"));
    EXPECT_TRUE(help.out().contains("Veltrano/config.ini")) << "where an installed program looks";
    Child version({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode(), 0) << version.err().toStdString();
    EXPECT_TRUE(version.out().startsWith("Veltrano "));
    Child bad({QStringLiteral("--once"), QStringLiteral("--service")});
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_FALSE(bad.err().isEmpty());
}

TEST(Headless, OnceSendsOneBatchAndExitsZeroEvenWhenWeChatRefusesSome)
{
    HeadlessQueue q(3);
    q.fake.failNext(kTemplatePath, 1,
                    testsupport::FakeWeChat::Fault::error(43004, "require subscribe"));
    Child once(q.args("--once"), q.fake.base());
    EXPECT_EQ(once.exitCode(), 0) << once.err().toStdString();
    EXPECT_EQ(q.queue.pending(), 0);
    EXPECT_EQ(q.fake.sendCount(), 3);
    int refused = 0; // whichever post arrived first, with several on their way
    for (qlonglong id = 1; id <= 3; ++id)
        refused += q.queue.stat(id).toString().contains("43004");
    EXPECT_EQ(refused, 1);
    EXPECT_TRUE(once.out().contains(
        QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  发送结果：",
                           QRegularExpression::MultilineOption)))
        << "log lines reach standard output, dated sortably under any locale: "
        << once.out().toStdString();
    EXPECT_TRUE(ownerOnly(todaysLog(QFileInfo(configFilePath()).absolutePath())))
        << "the daily log names followers";
}

// A queue the service makes itself holds follower data: only its owner may read it. SIGTERM ends
// an idle service at once.
TEST(Headless, ServiceCreatesANewQueueOwnerOnly)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("db=fresh.db\ndriver=sqlite\n"));
    Child service(
        {QStringLiteral("--service"), QStringLiteral("--config"), folder.file("config.ini")});
    ASSERT_TRUE(service.waitForOutput("  服务启动成功")) << service.err().toStdString();
    service.terminate();
    EXPECT_EQ(service.exitCode(), 0) << service.err().toStdString();
    EXPECT_TRUE(ownerOnly(folder.file("fresh.db")));
}

// SIGTERM while a post waits on a slow API: that post's answer is written back, the rest stay
// pending.
TEST(Headless, ServiceOnSigtermFinishesThePostInFlightAndExitsZero)
{
    HeadlessQueue q(3);
    q.queue.setParam("temp_timer", "1");
    // One post at a time, so the slow one is the only one on its way.
    WriteProfileValue(configFilePath(), QStringLiteral("send"), QStringLiteral("posts_in_flight"),
                      QStringLiteral("1"));
    q.fake.failNext(kTemplatePath, 1, testsupport::FakeWeChat::Fault::delay(1500));
    Child service(q.args("--service"), q.fake.base(), QStringLiteral("10")); // a minute in 0.6 s
    for (int i = 0; i < 1000 && q.fake.requestCount(kTemplatePath) == 0; ++i)
        QThread::msleep(10);
    ASSERT_EQ(q.fake.requestCount(kTemplatePath), 1) << service.out().toStdString();
    service.terminate();
    EXPECT_EQ(service.exitCode(), 0) << service.err().toStdString();
    EXPECT_EQ(q.fake.sendCount(), 1);
    EXPECT_TRUE(q.queue.stat(1).toString().contains("\"errcode\":0"))
        << "the answer was stored before exit";
    EXPECT_EQ(q.queue.pending(), 2);
}

// Starts that cannot work end at once, exit 1, with the reason said once, on standard error.
TEST(Headless, StartsThatCannotWorkNameTheFileOrTheWayOut)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("db=no/such/folder/queue.db\ndriver=sqlite\n"));
    const QString config = folder.file("config.ini");
    const QString noDatabase = QStringLiteral("服务启动失败，请检查数据库连接是否正确！");
    const struct {
        QStringList args;
        QString says;
    } starts[] = {
        {{"--once", "--config", folder.file("none.ini")}, folder.file("none.ini") + "：文件不存在"},
        {{"--service", "--config", folder.path()}, "文件夹"},
        {{"--once", "--config", config}, noDatabase},
        {{"--service", "--config", config}, noDatabase},
#ifndef _WIN32             // a Windows session always has its desktop
        {{}, "--service"}, // the window, with no display: not Qt's abort
#endif
    };
    for (const auto &start : starts) {
        Child child(start.args);
        SCOPED_TRACE(start.args.join(u' ').toStdString());
        EXPECT_EQ(child.exitCode(), 1);
        const QString err = child.err().trimmed();
        EXPECT_TRUE(err.contains(start.says)) << err.toStdString();
        EXPECT_EQ(err.count(u'\n'), 0) << "one line";
        EXPECT_FALSE(child.out().contains(err.left(8)));
        if (start.says == noDatabase) {
            EXPECT_GT(err.size(), noDatabase.size()) << "the cause follows the fixed text";
        }
    }
}

// --once tells a script whether anything due went out: 3 when WeChat is unreachable or over its
// quota, 1 when another copy holds the queue (it names that copy).
TEST(Headless, OnceExitCodeSaysWhetherAnythingDueWentOut)
{
    HeadlessQueue q(2);
    SenderLease other;
    {
        Database db(q.queue.connection());
        ASSERT_TRUE(other.acquire(db));
    }
    Child held(q.args("--once"), q.fake.base());
    EXPECT_EQ(held.exitCode(), 1);
    EXPECT_TRUE(held.err().contains("另一个副本正在发送（")) << held.err().toStdString();
    EXPECT_EQ(q.fake.sendCount(), 0);
    {
        Database db(q.queue.connection());
        other.release(db);
    }

    q.fake.failNext(kTemplatePath, -1,
                    testsupport::FakeWeChat::Fault::error(45009,
                                                          "reach max api daily quota limit"));
    Child quota(q.args("--once"), q.fake.base());
    EXPECT_EQ(quota.exitCode(), 3) << quota.err().toStdString();
    EXPECT_EQ(q.queue.pending(), 2);
    EXPECT_TRUE(quota.err().contains("一条也未能发出"));

    Child unreachable(q.args("--once"), QStringLiteral("http://127.0.0.1:1"));
    EXPECT_EQ(unreachable.exitCode(), 3) << unreachable.err().toStdString();
    EXPECT_TRUE(unreachable.err().contains("一条也未能发出"));
}

#ifdef Q_OS_UNIX
// journald stamps every line it reads: the service adds no time stamp of its own.
TEST(Headless, UnderJournaldLinesCarryNoTimeStamp)
{
    HeadlessQueue q(1);
    // JOURNAL_STREAM names the stream journald reads as "device:inode", here the test's pipe.
    QStringList args = {QStringLiteral("-c"),
                        QStringLiteral(
                            "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" \"$@\""),
                        QStringLiteral(VELTRANO_EXE)};
    args += q.args("--once");
    Child once(args, q.fake.base(), {}, -1, QStringLiteral("/bin/sh"));
    EXPECT_EQ(once.exitCode(), 0) << once.err().toStdString();
    EXPECT_TRUE(once.out().startsWith("发送结果：") || once.out().contains("\n发送结果："))
        << once.out().toStdString();
    EXPECT_FALSE(once.out().contains(QDate::currentDate().toString(u"yyyy-MM-dd") + u' '));
}

// Standard output that nobody reads, or that is closed (`| head`): the batch still stores every
// answer, and SIGTERM still ends the service.
TEST(Headless, AStdoutNobodyReadsOrClosedNeverHoldsUpTheBatch)
{
    HeadlessQueue q(100); // twice the lines the pipe holds
    q.queue.setParam("temp", "1000");
    q.queue.setParam("temp_timer", "1");
    int unread[2];
    ASSERT_EQ(::pipe2(unread, O_CLOEXEC), 0);
    ::fcntl(unread[1], F_SETPIPE_SZ, 4096); // full after a few dozen lines
    Child service(q.args("--service"), q.fake.base(), QStringLiteral("10"), unread[1]);
    for (int i = 0; i < 2000 && q.queue.pending() > 0; ++i)
        QThread::msleep(10);
    EXPECT_EQ(q.queue.pending(), 0) << "the batch went on while nobody read its lines";
    service.terminate();
    EXPECT_EQ(service.exitCode(), 0) << "SIGTERM still ends it";
    ::close(unread[0]);
    ::close(unread[1]);

    for (int n = 0; n < 20; ++n)
        q.queue.add(templateBody(n), 1);
    int closed[2];
    ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
    ::close(closed[0]); // the reader has gone
    Child once(q.args("--once"), q.fake.base(), {}, closed[1]);
    EXPECT_EQ(once.exitCode(), 0) << "no SIGPIPE";
    ::close(closed[1]);
    EXPECT_EQ(q.queue.pending(), 0);
}

#ifdef VELTRANO_HAVE_SYSTEMD
// Under a Type=notify unit systemd waits for READY=1 and kills a service whose watchdog starves.
TEST(Headless, ServiceTellsSystemdItIsReadyAliveAndStopping)
{
    HeadlessQueue q(0);
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("notify").toUtf8();
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    qputenv("NOTIFY_SOCKET", path);
    qputenv("WATCHDOG_USEC", "200000");
    Child service(q.args("--service"), q.fake.base());
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    QByteArray said;
    const auto hear = [&](const char *text) {
        for (int i = 0; i < 100 && !said.contains(text); ++i) {
            char buffer[512];
            const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                said += QByteArray(buffer, int(n)) + '\n';
            else
                QThread::msleep(50);
        }
        return said.contains(text);
    };
    EXPECT_TRUE(hear("READY=1")) << service.err().toStdString();
    said.clear();
    EXPECT_TRUE(hear("WATCHDOG=1")) << "fed while it runs";
    service.terminate();
    EXPECT_TRUE(hear("STOPPING=1"));
    EXPECT_EQ(service.exitCode(), 0);
    ::close(socket);
}
#endif // VELTRANO_HAVE_SYSTEMD
#endif
