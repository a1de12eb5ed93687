// The settings: connection fields from config.ini, parameters from sysParam, and their one live
// owner.
#pragma once

#include <QMutex>
#include <QString>

#include <optional>

namespace veltrano {

// Every value is text, as stored; numbers are converted where they are compared or computed.
struct Settings {
    // config.ini, section "con"; pwd holds the password as typed, never its stored form.
    QString host, uid, pwd, db;
    QString driver; // "sqlserver" (also when empty) or "sqlite"
    // config.ini, section "send": how many posts may be on their way at once (1 when absent).
    QString posts_in_flight;
    QString encrypt; // "strict": SQL Server only over encryption with a trusted certificate

    // Mirrors of the sysParam rows of the same names, as last loaded.
    QString appid, appsecret, get_token_mod, token_server;
    QString temp, temp_timer, cust, cust_timer;
};

// One sysParam key: its name, the field that mirrors it (none for the token cache, which the token
// manager reads on its own connection) and the value a new database starts with.
struct ParameterKey {
    const char *name;
    QString Settings::*field;
    const char *initialValue;
    int newRow; // its place among the rows of a new database, from 1
};

// Every sysParam key in the order the load copies them: a missing row stops the copy at its key.
// in_time starts far enough in the past that the first direct exchange asks WeChat for a token, yet
// near enough that its age in seconds fits the 32-bit count SQL Server's DATEDIFF returns.
inline constexpr ParameterKey kParameterKeys[] = {
    {"appid", &Settings::appid, "", 1},
    {"appsecret", &Settings::appsecret, "", 2},
    {"get_token_mod", &Settings::get_token_mod, "1", 3},
    {"cust", &Settings::cust, "10", 7},
    {"cust_timer", &Settings::cust_timer, "5", 8},
    {"temp", &Settings::temp, "10", 5},
    {"temp_timer", &Settings::temp_timer, "5", 6},
    {"token_server", &Settings::token_server, "", 4},
    {"access_token", nullptr, "", 9},
    {"expires_in", nullptr, "", 10},
    {"in_time", nullptr, "2020-01-01 00:00", 11},
};

// Copies the sysParam mirrors and nothing else.
inline void copyParameters(const Settings &from, Settings &to)
{
    for (const ParameterKey &key : kParameterKeys) {
        if (key.field)
            to.*key.field = from.*key.field;
    }
}

// Copies the config.ini fields and nothing else.
inline void copyConnection(const Settings &from, Settings &to)
{
    for (QString Settings::*field :
         {&Settings::host, &Settings::uid, &Settings::pwd, &Settings::db, &Settings::driver,
          &Settings::posts_in_flight, &Settings::encrypt})
        to.*field = from.*field;
}

// A count or interval as stored (temp, temp_timer, posts_in_flight): a whole number with blanks
// around it allowed, or nothing when the text is not one.
std::optional<int> wholeNumber(const QString &text);

// How the access token is had, from get_token_mod: any number (as the database may give it, "1.0"
// too) that is 1 exchanges the account's credentials, 3 asks for the stable token, every other
// number asks the central server. Nothing when the text is no number.
enum class TokenMode { Direct, Stable, Central };
std::optional<TokenMode> tokenMode(const QString &text);

// The live values of one running program: created once by main() and handed to the window, the
// dialogs, the export and the headless runner. The batch runs on the worker while the dialogs run
// on the GUI thread, so every access goes through the mutex and readers work on a copy.
class SharedSettings {
public:
    Settings snapshot() const
    {
        QMutexLocker lock(&m_mutex);
        return m_values;
    }

    template <class Change>
    void update(Change &&change)
    {
        QMutexLocker lock(&m_mutex);
        change(m_values);
    }

private:
    mutable QMutex m_mutex;
    Settings m_values;
};

} // namespace veltrano
