// SQL Server up to the connection: the connection string, the schema script, and the real FreeTDS
// driver against a socket on 127.0.0.1.
#include "core/database.h"
#include "core/settings.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <thread>

using namespace veltrano;

// Every value travels braced, so no character can change the string's meaning, and a value the
// driver cannot carry is refused. Microsoft's drivers take "}" doubled, FreeTDS as it stands.
TEST(ConnectionString, EveryValueTravelsBracedOrIsRefused)
{
    const auto build = [](const char *driver, bool strict = false) {
        return BuildConnectionString(driver, "db1;Server=evil", "s{a}", "p;w}d{", "Db;x}", strict);
    };
    EXPECT_EQ(build("ODBC Driver 18 for SQL Server"),
              "Driver={ODBC Driver 18 for SQL Server};UID={s{a}}};PWD={p;w}}d{};"
              "Server={db1;Server=evil};Database={Db;x}}};APP={Veltrano};"
              "Encrypt=no;TrustServerCertificate=yes;");
    EXPECT_EQ(build("SQL Server"), "Driver={SQL Server};UID={s{a}}};PWD={p;w}}d{};"
                                   "Server={db1;Server=evil};Database={Db;x}}};APP={Veltrano};");
    EXPECT_EQ(build("FreeTDS"),
              "Driver={FreeTDS};UID={s{a}};PWD={p;w}d{};Server={db1;Server=evil};Database={Db;x}};"
              "APP={Veltrano};TDS_Version=7.4;ClientCharset=UTF-8;");
    // Driver 18 takes a LAN server's self-signed certificate as Driver 17 does (above), unless
    // config.ini's encrypt=strict asks for encryption with a verified certificate.
    EXPECT_TRUE(build("ODBC Driver 18 for SQL Server", true)
                    .endsWith("APP={Veltrano};Encrypt=yes;TrustServerCertificate=no;"));
    EXPECT_TRUE(build("FreeTDS", true).endsWith(";Encryption=require;"));
    EXPECT_TRUE(strictEncryption(" Strict "));
    for (const char *other : {"", "yes", "no", "strictly"})
        EXPECT_FALSE(strictEncryption(other)) << other;

    // FreeTDS ends a braced value at "};"; no driver can carry a NUL.
    EXPECT_THROW(BuildConnectionString("FreeTDS", "h", "u", "a};Database=master", "d"), DbError);
    for (const char *driver : {"FreeTDS", "ODBC Driver 18 for SQL Server"})
        EXPECT_THROW(BuildConnectionString(driver, "h", "u", QString("a") + QChar(0) + "b", "d"),
                     DbError)
            << driver;

    // Without a named driver the string takes the first one installed.
    const QStringList drivers = installedSqlServerDrivers();
    ASSERT_TRUE(drivers.contains("FreeTDS")) << "this machine registers FreeTDS";
    EXPECT_TRUE(
        BuildConnectionString("h", "u", "p", "d").startsWith("Driver={" + drivers.first() + "};"));
}

TEST(SqlServer, SchemaScriptReadsTheSameInEveryCodePage)
{
    QFile script(QStringLiteral(VELTRANO_SOURCE_DIR "/sql/sqlserver/schema.sql"));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    const QByteArray text = script.readAll();
    for (qsizetype i = 0; i < text.size(); ++i)
        ASSERT_LT(quint8(text.at(i)), 0x80) << "non-ASCII byte at " << i;
    // The view's Chinese names arrive as character codes, each one in place of its marker.
    const std::pair<const char *, const char *> names[] =
        {{"$TYPE$", "消息类型"},    {"$STATE$", "发送状态"},    {"$CODE$", "状态代码"},
         {"$TIME$", "发送时间"},    {"$TEMPLATE$", "模板消息"}, {"$CUSTOMER$", "客服消息"},
         {"$UNKNOWN$", "未知类型"}, {"$OK$", "成功"},           {"$FAILED$", "失败"}};
    for (const auto &[marker, name] : names) {
        QStringList codes;
        for (const QChar c : QString::fromUtf8(name))
            codes << "nchar(0x"
                         + QStringLiteral("%1").arg(c.unicode(), 4, 16, QChar(u'0')).toUpper()
                         + ")";
        const QByteArray line = QStringLiteral("set @view = replace(@view, N'%1', %2);")
                                    .arg(QLatin1String(marker), codes.join(" + "))
                                    .toLatin1();
        EXPECT_TRUE(text.contains(line)) << line.constData();
    }
}

#ifndef _WIN32
namespace {

// A TCP socket on 127.0.0.1 with a port of its own: bound but not listening (a closed port), or
// listening; a listening one may also play a server that falls silent after the login.
class LocalPort {
public:
    explicit LocalPort(bool listening)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        if (listening)
            ::listen(m_fd, 4);
    }
    ~LocalPort()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        if (const int client = m_silentClient; client >= 0)
            ::shutdown(client, SHUT_RDWR); // ends the silent reader's wait
        if (m_reader.joinable())
            m_reader.join();
    }
    QString host() const { return QStringLiteral("127.0.0.1,%1").arg(m_port); }

    // Accepts one client, answers its pre-login (no encryption), keeps its login packet and
    // answers it as a server would (LOGINACK, DONE), then keeps whatever comes and never answers
    // again: a server that hangs after the login.
    void acceptLoginThenFallSilent()
    {
        m_reader = std::thread([this] {
            pollfd waiting{m_fd, POLLIN, 0};
            if (::poll(&waiting, 1, 10000) != 1)
                return;
            const int client = ::accept(m_fd, nullptr, nullptr);
            if (client < 0)
                return;
            if (readPacket(client).startsWith('\x12')) {
                // Options VERSION and ENCRYPTION, then their data: version 11.0, encryption 2
                // (not supported), so the login follows in the clear.
                const char preLogin[] = {4, 1, 0,  26, 0, 0,          1,  0, 0,    0,    11, 0, 6,
                                         1, 0, 17, 0,  1, char(0xFF), 11, 0, 0x0C, 0x38, 0,  0, 2};
                ::send(client, preLogin, sizeof preLogin, 0);
                m_login = readPacket(client);
                // LOGINACK: interface 1, TDS 7.4, program name "S", version 11.0.0.0; then DONE.
                QByteArray loginAck = QByteArray::fromHex("0401000000000100"
                                                          "ad0c000174000004015300"
                                                          "0b000000fd000000000000000000000000");
                loginAck[2] = char(loginAck.size() >> 8);
                loginAck[3] = char(loginAck.size() & 0xFF);
                ::send(client, loginAck.constData(), loginAck.size(), 0);
                m_silentClient = client;
                char buffer[4096];
                ssize_t n = 0;
                while ((n = ::recv(client, buffer, sizeof buffer, 0)) > 0)
                    m_afterLogin.append(buffer, n);
            }
            ::close(client);
        });
    }

    // What the client sent after the login, once it has hung up.
    QByteArray afterLogin()
    {
        if (m_reader.joinable())
            m_reader.join();
        return m_afterLogin;
    }

    // Field n of the login record (1 user, 2 password, 3 application, 8 database).
    QString loginField(int n)
    {
        if (m_reader.joinable())
            m_reader.join();
        if (m_login.size() < 8 + 36 + 4 * 9)
            return QStringLiteral("<no login>");
        const QByteArray body = m_login.mid(8);
        const auto u16 = [&](int at) {
            return quint16(quint8(body.at(at)) | (quint8(body.at(at + 1)) << 8));
        };
        const int offset = u16(36 + 4 * n), chars = u16(38 + 4 * n);
        QByteArray raw = body.mid(offset, chars * 2);
        if (n == 2) { // the password travels with its nibbles swapped and xor 0xA5
            for (char &c : raw) {
                const quint8 b = quint8(c) ^ 0xA5;
                c = char(quint8((b >> 4) | (b << 4)));
            }
        }
        return QString::fromUtf16(reinterpret_cast<const char16_t *>(raw.constData()), chars);
    }

private:
    static QByteArray readPacket(int client)
    {
        QByteArray packet;
        char buffer[4096];
        const auto length = [&] { return (quint8(packet.at(2)) << 8) | quint8(packet.at(3)); };
        while (packet.size() < 8 || packet.size() < length()) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            packet.append(buffer, n);
        }
        return packet;
    }

    int m_fd = -1;
    int m_port = 0;
    std::thread m_reader;
    std::atomic<int> m_silentClient{-1};
    QByteArray m_login;
    QByteArray m_afterLogin;
};

Settings serverAt(const LocalPort &port)
{
    Settings s;
    s.host = port.host();
    s.uid = QStringLiteral("sa");
    return s;
}

} // namespace

TEST(SqlServer, TestConnectionFalseWhenThePortIsClosed)
{
    LocalPort closed(false);
    EXPECT_FALSE(TestConnection(serverAt(closed)));
}

TEST(SqlServer, SilentServerEndsAtTheLoginTimeOut)
{
    // Accepts the connection and never answers: only the login time-out ends the wait.
    LocalPort silent(true);
    EXPECT_THROW(Database(serverAt(silent), 1), DbError);
}

// The typed values reach the server as they were typed, whatever braces, semicolons or Chinese
// they hold; a server that then falls silent ends the connect instead of hanging it.
TEST(SqlServer, TypedValuesArriveAndASilentServerAfterTheLoginEndsTheConnect)
{
    LocalPort server(true);
    server.acceptLoginThenFallSilent();
    Settings s = serverAt(server);
    s.uid = QStringLiteral("操作员;UID=sa");
    s.pwd = QStringLiteral("p;w}d{密码}");
    s.db = QStringLiteral("消息{库}x;y");
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(Database(s, 2), DbError);
    EXPECT_LT(clock.elapsed(), 20000);
    EXPECT_EQ(server.loginField(1), s.uid);
    EXPECT_EQ(server.loginField(2), s.pwd);
    EXPECT_EQ(server.loginField(8), s.db);
    EXPECT_EQ(server.loginField(3), "Veltrano");
    // The first statement on the connection bounds its waits for other sessions' locks.
    const QString sent = lockTimeoutStatement();
    EXPECT_TRUE(server.afterLogin().contains(
        QByteArray(reinterpret_cast<const char *>(sent.utf16()), sent.size() * 2)));
}
#endif
