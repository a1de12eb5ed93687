// The message database: connections on SQL Server or SQLite, the statement catalogue, parameters.
// One header for callers; the work lives in database.cpp (connection and login),
// database_statements.cpp (both dialects' statements) and database_parameters.cpp (sysParam).
#pragma once

#include "core/database_error.h"
#include "core/settings.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <map>
#include <utility>
#include <vector>

namespace veltrano {

enum class Dialect { TSql, Sqlite };

// Every statement the program runs on the message database, once per dialect. Values are always
// bound ('?' placeholders, in the order each comment gives); nothing is joined into the text.
// Both dialects give the same results; times are the database's local time.
struct Statements {
    QString selectParam; // (ParamName) -> the sysParam row, ParamValue its third column
    QString allParams;   // () -> ParamName, ParamValue of every sysParam row
    QString tokenAge;    // () -> one row: seconds since in_time by the database clock; NULL when
                         //    in_time is NULL or its row is missing
    QString cachedToken; // () -> ParamValue of access_token
    QString updateParam; // (value, ParamName)
    QString touchInTime; // () -> in_time becomes the database's current time as text
    QString pendingMessages; // (batch size, a whole number) -> body, id, kind (positions 0, 1, 2)
                             //    and the other columns of up to that many pending send_json rows
    QString markSent;        // (answer, id) -> stat and sendtime of one tempmsg row
    QString sendRecords;     // (message type text, days as a whole number) -> SEND_REC rows whose
                         //    发送时间 is at or after now minus that many days, each followed
                         //    by its tempmsg row's stat (WeChat's answer)
    QString sendRecordsOnly; // (the same) -> the same SEND_REC rows alone, read by position, for a
                             //    SEND_REC that cannot be joined with tempmsg (no id column)
};

const Statements &statementsFor(Dialect dialect);

// The dialect config.ini's `driver` names: "sqlite" or "sqlserver" (also when empty), without
// regard to case or surrounding blanks. Throws DbError for any other name.
Dialect dialectFor(const QString &driver);

// The SQL Server ODBC drivers this machine has, in order of preference, as the driver manager lists
// them; the first one is used.
QStringList installedSqlServerDrivers();

// The ODBC connection string for SQL Server with the first installed driver; every value braced so
// no character can change the string's meaning. Throws DbError when no driver is installed or a
// value cannot be carried by that driver (FreeTDS cannot carry "};" inside a value).
QString BuildConnectionString(const QString &host, const QString &uid, const QString &pwd,
                              const QString &db);
// The same for a named driver. Microsoft's drivers take "}" doubled inside braces; FreeTDS ends a
// braced value at the first "};" and takes every other "}" as it stands.
QString BuildConnectionString(const QString &odbcDriver, const QString &host, const QString &uid,
                              const QString &pwd, const QString &db, bool strictEncrypt = false);

// The login time-out of a parameter load outside a batch (a window, the export).
inline constexpr int kLoadParametersSeconds = 8;

// The login time-out used where a caller passes 0, so a silent server cannot hold a thread forever.
inline constexpr int kDefaultLoginTimeoutSeconds = 15;

// How long one statement waits for a lock another session holds before it fails (SQL Server's
// LOCK_TIMEOUT, SQLite's busy time-out). Long enough for a producer's ordinary transaction, short
// enough that a forgotten one ends the batch instead of stalling it and everything after it.
inline constexpr int kLockWaitMilliseconds = 30000;

// The statement every new SQL Server connection runs first, so a held lock cannot stall it forever.
QString lockTimeoutStatement();

// config.ini's `encrypt`: "strict" requires an encrypted connection with a certificate the machine
// trusts (FreeTDS checks the certificate only as its own "ca file" setting says); anything else
// (also a missing key) lets a LAN server with a self-signed certificate in, with ODBC Driver 18 as
// with Driver 17.
bool strictEncryption(const QString &encrypt);

// What a SQLite connection does when its file is absent: a running service must not start over on
// an empty queue, so only an explicit start or save may create one.
enum class MissingFile { Fail, Create };

// One open connection, on the calling thread, closed and removed when it goes out of scope. Open,
// use and destroy it on one thread. On SQL Server a result must be read to its end (or its query
// destroyed) before the next statement runs on the same connection: there is one active result
// per connection.
class Database {
public:
    // Opens what the connection fields name (driver "sqlite": db is a file path relative to the
    // folder of config.ini, or absolute). A missing SQLite file is an error naming its full path,
    // or with MissingFile::Create a new file with the schema, logged with its full path. A login
    // time-out of 0 means kDefaultLoginTimeoutSeconds. Throws DbError.
    explicit Database(const Settings &connection, int loginTimeoutSeconds = 0,
                      MissingFile missing = MissingFile::Fail);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    Dialect dialect() const { return m_dialect; }
    const Statements &sql() const { return statementsFor(m_dialect); }

    // Prepares and runs a statement with bound values; throws DbError with the driver's message.
    // A null QString binds as the empty text: no statement of the catalogue writes NULL.
    // The query must not outlive this object.
    QSqlQuery exec(const QString &statement, const QVariantList &values = {});
    // The same, for a statement run again and again on this connection (the batch's per-message
    // statements): prepared once, then only bound and run. The query stays this object's; it is
    // valid until the same statement runs again. Read it to its end, or finish() it.
    QSqlQuery &execReused(const QString &statement, const QVariantList &values = {});

private:
    QSqlQuery prepared(const QString &statement);
    void bindAndRun(QSqlQuery &query, const QVariantList &values);

    std::map<QString, QSqlQuery> m_reused; // before m_name: gone before the connection is
    QString m_name;
    Dialect m_dialect;
};

// True when the database these connection fields name opens (4 s login limit). It backs the
// explicit start and the connection dialog's save, so a missing SQLite file is created (and logged
// with its full path). On failure *cause gets the driver's own message or the reason.
bool TestConnection(const Settings &connection, QString *cause = nullptr);

// Loads the sysParam values into `into` with one statement. A missing row or NULL value stops the
// copy at that key, keeping those before it; a failed query changes nothing. Throws DbError.
void LoadParameters(Database &database, Settings &into);

// Re-reads config.ini, then sysParam (8 s login limit), into the live values, as every window does
// before it touches the database; returns what they hold afterwards. Never throws: a failed
// connection leaves the parameters as they were.
Settings ReloadSettings(SharedSettings &live);

// Writes sysParam values in the order given, on one connection. Throws DbError at the first
// failure; the values written before it stay, as there is no transaction.
void StoreParameters(const Settings &connection,
                     const std::vector<std::pair<QString, QString>> &namesAndValues);

} // namespace veltrano
