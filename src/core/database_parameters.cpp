// The sysParam values: loaded into the settings, and stored back.
#include "core/database.h"

#include "core/profile.h"

#include <QSqlError>

#include <optional>

namespace veltrano {
namespace {

using database_detail::errorText;
using database_detail::fail;

constexpr int kLoadParametersTimeout = 8;

// The shared settings field that mirrors each sysParam key, in the order the load copies them.
struct ParameterField {
    const char *key;
    QString Settings::*field;
};

const ParameterField kCopyOrder[] = {
    {"appid", &Settings::appid},
    {"appsecret", &Settings::appsecret},
    {"get_token_mod", &Settings::get_token_mod},
    {"cust", &Settings::cust},
    {"cust_timer", &Settings::cust_timer},
    {"temp", &Settings::temp},
    {"temp_timer", &Settings::temp_timer},
    {"token_server", &Settings::token_server},
    {"access_token", &Settings::access_token},
    {"expires_in", &Settings::expires_in},
    {"in_time", &Settings::in_time},
};

} // namespace

void LoadParameters(const QString &host, const QString &uid, const QString &pwd, const QString &db)
{
    try {
        Settings connection = gobal().snapshot();
        connection.host = host;
        connection.uid = uid;
        connection.pwd = pwd;
        connection.db = db;
        Database database(connection, kLoadParametersTimeout);
        LoadParameters(database);
    } catch (...) {
        // A failed connection changes nothing, and no caller is told.
    }
}

void LoadParameters(Database &database, Settings &into)
{
    // Every row is read before anything is copied, so a failed query leaves every field as it was.
    std::optional<QString> values[std::size(kCopyOrder)];
    {
        QSqlQuery &query = database.execReused(database.sql().allParams);
        while (query.next()) {
            // Names compare as the database's case-insensitive collation does.
            const QString name = query.value(0).toString().trimmed();
            for (size_t i = 0; i < std::size(kCopyOrder); ++i) {
                if (name.compare(QLatin1String(kCopyOrder[i].key), Qt::CaseInsensitive) == 0) {
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
    for (size_t i = 0; i < std::size(kCopyOrder) && values[i]; ++i)
        into.*(kCopyOrder[i].field) = *values[i];
}

void LoadParameters(Database &database)
{
    Settings loaded;
    try {
        loaded = gobal().snapshot();
        LoadParameters(database, loaded);
    } catch (...) {
        return;
    }
    gobal().update([&](Settings &s) {
        for (const ParameterField &f : kCopyOrder)
            s.*(f.field) = loaded.*(f.field);
    });
}

Settings ReloadSettings()
{
    LoadConnectionSettings();
    const Settings connection = gobal().snapshot();
    LoadParameters(connection.host, connection.uid, connection.pwd, connection.db);
    return gobal().snapshot();
}

void StoreParameters(const Settings &connection,
                     const std::vector<std::pair<QString, QString>> &namesAndValues)
{
    Database db(connection);
    for (const auto &[name, value] : namesAndValues)
        db.exec(db.sql().updateParam, {value, name});
}

} // namespace veltrano
