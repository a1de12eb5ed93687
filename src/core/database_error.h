// How the message database reports a failure, shared by the connection, the statements, the
// parameter load and the schema.
#pragma once

#include <QSqlError>
#include <QString>

#include <stdexcept>

namespace veltrano {

// A connection, statement or schema failure, with the driver's own words.
class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace database_detail {

inline QString errorText(const QSqlError &error)
{
    return error.text().trimmed();
}

[[noreturn]] inline void fail(const QString &message)
{
    throw DbError(message.toStdString());
}

} // namespace database_detail
} // namespace veltrano
