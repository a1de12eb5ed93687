// The schema a new SQLite message database gets on its first open, and the keys sysParam starts with.
#pragma once

#include <QString>

#include <utility>
#include <vector>

namespace veltrano {

// The eleven sysParam keys with the values a new database starts with. in_time lies far enough in
// the past that the first direct exchange asks WeChat for a token, yet near enough that its age in
// seconds fits the 32-bit count SQL Server's DATEDIFF returns.
const std::vector<std::pair<QString, QString>> &initialParameters();

// Creates the tables, views and keys on the open SQLite connection `connectionName` when the file
// holds no schema object yet; a file that already has any is left as it is. Throws DbError.
void ensureSqliteSchema(const QString &connectionName);

} // namespace veltrano
