// The schema a new SQLite message database gets on its first open, with the sysParam keys.
#pragma once

#include <QString>

#include <utility>
#include <vector>

namespace veltrano {

// Creates the tables, views and keys on the open SQLite connection `connectionName` when the file
// holds no schema object yet; a file that already has any is left as it is. Throws DbError.
void ensureSqliteSchema(const QString &connectionName);

} // namespace veltrano
