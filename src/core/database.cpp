// Connections to the message database: SQLite files, SQL Server logins through ODBC, statements
// prepared and run with bound values.
#include "core/database.h"

#include "core/app_context.h"
#include "core/failure_text.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/schema.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlResult>

#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <cstdint>

namespace veltrano {
namespace {

using database_detail::errorText;
using database_detail::fail;

constexpr int kTestConnectionTimeout = 4;
// Longer than the lock wait, so a held lock reports itself; still bounded for a silent server.
constexpr int kStatementTimeoutSeconds = kLockWaitMilliseconds / 1000 + 15;

// The SQL Server drivers we can use, most preferred first.
const char *const kPreferredDrivers[] = {
    "ODBC Driver 18 for SQL Server",
    "ODBC Driver 17 for SQL Server",
    "FreeTDS",
    "SQL Server",
};

// ODBC takes an integer attribute through its pointer parameter.
SQLPOINTER integerAttribute(std::uintptr_t value)
{
    return reinterpret_cast<SQLPOINTER>(value); // NOLINT(performance-no-int-to-ptr)
}

// Every driver the ODBC driver manager knows, by its registered name.
QStringList odbcDrivers()
{
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return names;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, integerAttribute(SQL_OV_ODBC3), 0);
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    SQLSMALLINT nameLength = 0, attributesLength = 0;
#ifdef _WIN32
    SQLWCHAR name[512], attributes[2048];
    while (SQL_SUCCEEDED(
        SQLDriversW(env, direction, name, 512, &nameLength, attributes, 2048, &attributesLength))) {
        names << QString::fromWCharArray(reinterpret_cast<const wchar_t *>(name));
        direction = SQL_FETCH_NEXT;
    }
#else
    SQLCHAR name[512], attributes[2048];
    while (SQL_SUCCEEDED(SQLDrivers(env, direction, name, sizeof name, &nameLength, attributes,
                                    sizeof attributes, &attributesLength))) {
        names << QString::fromLocal8Bit(reinterpret_cast<const char *>(name));
        direction = SQL_FETCH_NEXT;
    }
#endif
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

// The connection string after "Driver={…};", which QODBC takes as the user name (see
// openSqlServer).
QString loginItems(const QString &odbcDriver, const QString &host, const QString &uid,
                   const QString &pwd, const QString &db, bool strictEncrypt)
{
    const bool freeTds = odbcDriver.contains(QLatin1String("FreeTDS"), Qt::CaseInsensitive);
    const auto brace = [&](const char *item, const QString &value) -> QString {
        if (value.contains(QChar(u'\0')))
            fail(QStringLiteral("数据库连接设置 %1 含有不能传给驱动的空字符")
                     .arg(QLatin1String(item)));
        if (freeTds) {
            // FreeTDS ends a braced value at the first "};" and does not undouble "}}".
            if (value.contains(QLatin1String("};")))
                fail(QStringLiteral("FreeTDS 不能传递含有 \"};\" 的连接设置 %1，请修改")
                         .arg(QLatin1String(item)));
            return QLatin1Char('{') + value + QLatin1Char('}');
        }
        QString escaped = value;
        escaped.replace(QLatin1Char('}'), QLatin1String("}}"));
        return QLatin1Char('{') + escaped + QLatin1Char('}');
    };
    QString items = brace("uid", uid) + QLatin1String(";PWD=") + brace("pwd", pwd)
                    + QLatin1String(";Server=") + brace("host", host) + QLatin1String(";Database=")
                    + brace("db", db) + QLatin1String(";APP={Veltrano};");
    // FreeTDS: a fixed protocol version, because with "auto" a login that times out is retried
    // with older versions, and the Sybase one never gives up on a silent server (FreeTDS 1.3); a
    // server older than 7.4 (SQL Server 2012) answers with its own version. The character set
    // would otherwise be a one-byte one that loses Chinese text.
    if (freeTds)
        items += QLatin1String("TDS_Version=7.4;ClientCharset=UTF-8;");
    // ODBC Driver 18 demands encryption with a trusted certificate unless told otherwise, which a
    // LAN server with its self-signed certificate fails. Without the strict setting every driver
    // behaves as Driver 17 does by default: encryption only where the server insists, its
    // certificate not checked. With it, the login is encrypted and the certificate verified.
    const bool microsoft = odbcDriver.contains(QLatin1String("ODBC Driver"), Qt::CaseInsensitive);
    if (strictEncrypt) {
        if (freeTds)
            items += QLatin1String("Encryption=require;");
        else
            items += QLatin1String("Encrypt=yes;TrustServerCertificate=no;");
    } else if (microsoft) {
        items += QLatin1String("Encrypt=no;TrustServerCertificate=yes;");
    }
    return items;
}

QString driverItem(const QString &odbcDriver)
{
    return QLatin1String("Driver={") + odbcDriver + QLatin1Char('}');
}

// Sets the ODBC query time-out of a prepared statement, so a server that stops answering ends the
// statement with an error instead of holding the thread. The lock wait ends first, with the
// server's own message, when a lock is what holds the statement.
bool limitStatement(QSqlQuery &query, int seconds)
{
    const QVariant handle = query.result()->handle();
    if (!handle.isValid() || handle.metaType().sizeOf() != sizeof(SQLHANDLE))
        return false;
    const SQLHANDLE statement = *static_cast<const SQLHANDLE *>(handle.constData());
    if (!statement)
        return false;
    return SQL_SUCCEEDED(
        SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, integerAttribute(seconds), 0));
}

void removeConnection(const QString &name)
{
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen())
            db.close();
    }
    // Only once the last handle above is gone, or Qt warns that the connection is still in use.
    QSqlDatabase::removeDatabase(name);
}

// A relative path belongs to the config.ini that names it: wherever the logs and kept answers have
// to go (a read-only config folder sends them to the user's data folder), the queue stays the one
// beside the settings. Only where no file is there but one is in the application folder, where a
// relative path used to point, is that one opened.
QString sqliteFilePath(const QString &file)
{
    const QString beside =
        QDir::cleanPath(QFileInfo(configFile()).absoluteDir().absoluteFilePath(file));
    if (QFileInfo::exists(beside))
        return beside;
    const QString earlier = QDir::cleanPath(QDir(applicationFolder()).absoluteFilePath(file));
    return QFileInfo(earlier).isFile() ? earlier : beside;
}

void openSqlite(const QString &name, const Settings &connection, MissingFile missing)
{
    const QString file = connection.db.trimmed();
    if (file.isEmpty())
        fail(QStringLiteral("没有指定 SQLite 数据库文件（config.ini 的 db）"));
    const QString path = sqliteFilePath(file);
    // SQLite would quietly create any path it is given: a mistyped or vanished file would become a
    // new, empty queue with default settings while the real one waits.
    const QFileInfo info(path);
    const bool created = !info.exists();
    if (created && missing == MissingFile::Fail)
        fail(QStringLiteral("SQLite 数据库文件不存在：%1").arg(QDir::toNativeSeparators(path)));
    if (info.exists() && !info.isFile())
        fail(QStringLiteral("SQLite 数据库路径不是文件：%1").arg(QDir::toNativeSeparators(path)));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        if (!db.isValid())
            fail(QStringLiteral("没有可用的 Qt SQLite 驱动（QSQLITE）"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kLockWaitMilliseconds));
        if (!db.open())
            fail(QStringLiteral("无法打开 SQLite 数据库 %1：%2")
                     .arg(path, errorText(db.lastError())));
        // A batch commits once per message: with the write-ahead log each commit is one append
        // instead of a journal file made and removed, and the viewer can read while a batch
        // writes. FULL still puts every commit on disk before it counts. Where the file system
        // cannot hold a write-ahead log the file keeps its journal, which only costs speed.
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("pragma journal_mode=wal"));
        pragma.exec(QStringLiteral("pragma synchronous=full"));
    }
    if (created)
        Logger::instance().log(
            QStringLiteral("  新建 SQLite 数据库文件：%1").arg(QDir::toNativeSeparators(path)));
    try {
        ensureSqliteSchema(name);
    } catch (const DbError &e) {
        fail(QStringLiteral("无法使用 SQLite 数据库 %1：%2")
                 .arg(path, QString::fromStdString(e.what())));
    }
}

void openSqlServer(const QString &name, const Settings &connection, int loginTimeoutSeconds)
{
    // An empty server would leave the driver to guess; say what is missing instead.
    if (connection.host.trimmed().isEmpty())
        fail(QStringLiteral("没有设置数据库服务器（config.ini 的 host）"));
    const QStringList drivers = installedSqlServerDrivers();
    if (drivers.isEmpty())
        fail(QStringLiteral(
            "本机没有安装 SQL Server 的 ODBC 驱动（ODBC Driver 18/17 for SQL Server、"
            "FreeTDS 或 SQL Server）"));
    const QString &odbcDriver = drivers.first();
    const QString login = loginItems(odbcDriver, connection.host, connection.uid, connection.pwd,
                                     connection.db, strictEncryption(connection.encrypt));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), name);
    if (!db.isValid())
        fail(QStringLiteral("没有可用的 Qt ODBC 驱动（QODBC）"));
    // QODBC reads a database name that contains ".dsn" anywhere as a file DSN, and appends
    // ";UID=" + user name unchanged. So only the driver item goes in as the name, and every
    // user-typed value travels, braced, in the user name.
    db.setDatabaseName(driverItem(odbcDriver));
    db.setUserName(login);
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(loginTimeoutSeconds));
    if (!db.open())
        fail(QStringLiteral("无法连接 SQL Server（%1）：%2")
                 .arg(odbcDriver, errorText(db.lastError())));
    // Without it a statement waits for another session's lock for ever, and with it every later
    // batch and the export; with it the statement fails and the row stays pending. A server that
    // cannot answer this within the login time counts as unreachable.
    QSqlQuery bound(db);
    if (!bound.prepare(lockTimeoutStatement()) || !limitStatement(bound, loginTimeoutSeconds)
        || !bound.exec())
        fail(QStringLiteral("无法连接 SQL Server（%1）：%2")
                 .arg(odbcDriver, errorText(bound.lastError())));
}

} // namespace

bool strictEncryption(const QString &encrypt)
{
    return encrypt.trimmed().compare(QLatin1String("strict"), Qt::CaseInsensitive) == 0;
}

QStringList installedSqlServerDrivers()
{
    const QStringList installed = odbcDrivers();
    QStringList usable;
    for (const char *preferred : kPreferredDrivers) {
        for (const QString &name : installed) {
            if (name.compare(QLatin1String(preferred), Qt::CaseInsensitive) == 0) {
                usable << name;
                break;
            }
        }
    }
    return usable;
}

QString BuildConnectionString(const QString &odbcDriver, const QString &host, const QString &uid,
                              const QString &pwd, const QString &db, bool strictEncrypt)
{
    return driverItem(odbcDriver) + QLatin1String(";UID=")
           + loginItems(odbcDriver, host, uid, pwd, db, strictEncrypt);
}

QString BuildConnectionString(const QString &host, const QString &uid, const QString &pwd,
                              const QString &db)
{
    const QStringList drivers = installedSqlServerDrivers();
    if (drivers.isEmpty())
        fail(QStringLiteral("本机没有安装 SQL Server 的 ODBC 驱动"));
    return BuildConnectionString(drivers.first(), host, uid, pwd, db);
}

Database::Database(const Settings &connection, int loginTimeoutSeconds, MissingFile missing)
    : m_dialect(dialectFor(connection.driver))
{
    // Several threads hold connections at once; each object has a name of its own.
    static std::atomic<quint64> serial{0};
    m_name = QStringLiteral("veltrano-db-%1").arg(++serial);
    const int timeout = loginTimeoutSeconds > 0 ? loginTimeoutSeconds : kDefaultLoginTimeoutSeconds;
    try {
        if (m_dialect == Dialect::Sqlite)
            openSqlite(m_name, connection, missing);
        else
            openSqlServer(m_name, connection, timeout);
    } catch (...) {
        removeConnection(m_name);
        throw;
    }
}

Database::~Database()
{
    m_reused.clear();
    removeConnection(m_name);
}

QSqlQuery Database::prepared(const QString &statement)
{
    QSqlQuery query(QSqlDatabase::database(m_name, false));
    query.setForwardOnly(true);
    if (!query.prepare(statement))
        fail(QStringLiteral("SQL 语句无法执行：%1").arg(errorText(query.lastError())));
    if (m_dialect == Dialect::TSql && !limitStatement(query, kStatementTimeoutSeconds))
        fail(QStringLiteral("SQL 语句无法设置超时：%1").arg(errorText(query.lastError())));
    return query;
}

void Database::bindAndRun(QSqlQuery &query, const QVariantList &values)
{
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &value = values[i];
        const bool nullText =
            value.typeId() == QMetaType::QString && value.value<QString>().isNull();
        query.bindValue(i, nullText ? QVariant(QStringLiteral("")) : value);
    }
    if (!query.exec())
        fail(QStringLiteral("SQL 语句执行失败：%1").arg(errorText(query.lastError())));
}

QSqlQuery Database::exec(const QString &statement, const QVariantList &values)
{
    QSqlQuery query = prepared(statement);
    bindAndRun(query, values);
    return query;
}

QSqlQuery &Database::execReused(const QString &statement, const QVariantList &values)
{
    auto it = m_reused.find(statement);
    if (it == m_reused.end())
        it = m_reused.emplace(statement, prepared(statement)).first;
    it->second.finish();
    bindAndRun(it->second, values);
    return it->second;
}

bool TestConnection(const Settings &connection, QString *cause)
{
    try {
        Database db(connection, kTestConnectionTimeout, MissingFile::Create);
        return true;
    } catch (const std::exception &e) {
        if (cause)
            *cause = causeOf(e);
        return false;
    }
}

} // namespace veltrano
