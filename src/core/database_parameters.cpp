// The sysParam values: loaded into the settings, and stored back.
#include "core/database.h"

#include "core/profile.h"

#include <QSqlError>

#include <optional>

namespace veltrano {
namespace {

using database_detail::errorText;
using database_detail::fail;

} // namespace

void LoadParameters(Database &database, Settings &into)
{
    // Every row is read before anything is copied, so a failed query leaves every field as it was.
    std::optional<QString> values[std::size(kParameterKeys)];
    {
        QSqlQuery &query = database.execReused(database.sql().allParams);
        while (query.next()) {
            // Names compare as the database's case-insensitive collation does.
            const QString name = query.value(0).toString().trimmed();
            for (size_t i = 0; i < std::size(kParameterKeys); ++i) {
                if (name.compare(QLatin1String(kParameterKeys[i].name), Qt::CaseInsensitive) == 0) {
                    if (!query.isNull(1))
                        values[i] = query.value(1).toString();
                    break;
                }
            }
        }
        if (query.lastError().isValid())
            fail(QStringLiteral("读取 sysParam 失败：%1").arg(errorText(query.lastError())));
        query.finish(); // one active result per SQL Server connection
    }
    // A missing row or NULL value stops the copy at its key; the fields before it keep their copy.
    for (size_t i = 0; i < std::size(kParameterKeys) && values[i]; ++i) {
        if (kParameterKeys[i].field)
            into.*(kParameterKeys[i].field) = *values[i];
    }
}

Settings ReloadSettings(SharedSettings &live)
{
    Settings loaded = live.snapshot();
    LoadConnectionSettings(loaded);
    try {
        Database database(loaded, kLoadParametersSeconds);
        LoadParameters(database, loaded);
    } catch (...) {
        // A failed connection changes no parameter, and no caller is told.
    }
    live.update([&](Settings &s) {
        copyConnection(loaded, s);
        copyParameters(loaded, s);
    });
    return live.snapshot();
}

void StoreParameters(const Settings &connection,
                     const std::vector<std::pair<QString, QString>> &namesAndValues)
{
    Database db(connection);
    for (const auto &[name, value] : namesAndValues)
        db.exec(db.sql().updateParam, {value, name});
}

} // namespace veltrano
