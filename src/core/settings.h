// The shared settings: connection fields from config.ini, parameters from sysParam, the token in use.
#pragma once

#include <QMutex>
#include <QString>

namespace veltrano {

// Every value is text, as stored; numbers are converted where they are compared or computed.
struct Settings {
    // config.ini, section "con"; pwd holds the password as typed, never its stored form.
    QString host, uid, pwd, db;
    QString driver;  // "sqlserver" (also when empty) or "sqlite"
    // config.ini, section "send": how many posts may be on their way at once (1 when absent).
    QString posts_in_flight;
    QString encrypt; // "strict": SQL Server only over encryption with a trusted certificate

    // Mirrors of the sysParam rows of the same names, as last loaded.
    QString appid, appsecret, get_token_mod, token_server;
    QString temp, temp_timer, cust, cust_timer;
    QString access_token, expires_in, in_time;

    QString cur_token;   // the access token in use
    QString last_result; // the answer text of the latest post
};

// Copies the sysParam mirrors (appid … in_time) and nothing else.
inline void copyParameters(const Settings &from, Settings &to)
{
    for (QString Settings::*field :
         {&Settings::appid, &Settings::appsecret, &Settings::get_token_mod, &Settings::token_server,
          &Settings::temp, &Settings::temp_timer, &Settings::cust, &Settings::cust_timer,
          &Settings::access_token, &Settings::expires_in, &Settings::in_time})
        to.*field = from.*field;
}

// The one settings record of the process. The batch runs on the worker while the dialogs run on the
// GUI thread, so every access goes through the mutex and readers work on a copy.
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

SharedSettings &gobal();

} // namespace veltrano
