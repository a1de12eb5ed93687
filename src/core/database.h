// The message database: connections on SQL Server or SQLite, the statement catalogue, parameters.
#pragma once

#include "core/settings.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <stdexcept>

namespace veltrano {

// A connection, statement or schema failure, with the driver's own words.
class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Dialect { TSql, Sqlite };

// Every statement the program runs on the message database, once per dialect. Values are always
// bound ('?' placeholders, in the order each comment gives); nothing is joined into the text.
struct Statements {
    QString selectParam;     // (ParamName) -> the sysParam row, ParamValue its third column
    QString tokenAge;        // () -> seconds since in_time by the database clock; NULL without one
    QString cachedToken;     // () -> ParamValue of access_token
    QString updateParam;     // (value, ParamName)
    QString touchInTime;     // () -> in_time becomes the database's current time as text
    QString pendingMessages; // (batch size) -> body, id, kind of up to that many pending rows
    QString markSent;        // (answer, id) -> stat and sendtime of one tempmsg row
    QString sendRecords;     // (message type text, days) -> SEND_REC rows sent since now - days
};

const Statements &statementsFor(Dialect dialect);

// The ODBC connection string for SQL Server; every value braced so no character can change it.
QString BuildConnectionString(const QString &host, const QString &uid, const QString &pwd,
                              const QString &db);

// One open connection, on the calling thread, closed and removed when it goes out of scope.
class Database {
public:
    // Opens what the connection fields name (driver "sqlite": db is a file path relative to the
    // application folder, created with the schema when new). A login time-out of 0 leaves the
    // driver's default. Throws DbError.
    explicit Database(const Settings &connection, int loginTimeoutSeconds = 0);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    Dialect dialect() const { return m_dialect; }
    const Statements &sql() const { return statementsFor(m_dialect); }

    // Prepares and runs a statement with bound values; throws DbError with the driver's message.
    QSqlQuery exec(const QString &statement, const QVariantList &values = {});

private:
    QString m_name;
    Dialect m_dialect;
};

// True when the database named in config.ini opens (re-reads config.ini first; 4 s login limit).
bool TestConnection();

// Copies the sysParam values into the shared settings. Never throws: a failed connection or query
// changes nothing; a missing row or NULL value stops the copy at that key, keeping those before it.
void LoadParameters(const QString &host, const QString &uid, const QString &pwd, const QString &db);
// The same on a connection already open (the batch reloads before every row on its own).
void LoadParameters(Database &database);

} // namespace veltrano
