// Reading every follower of the official account and each profile, for the export; no widgets here.
#pragma once

#include "core/settings.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <stdexcept>

namespace veltrano {

// The profile members the export keeps, in column order; their names are also the header row.
inline constexpr int kProfileColumns = 8;
QStringList profileMembers();

// One follower's values in column order, as the JSON parser gives them (numbers stay numbers).
using ProfileRow = std::array<QJsonValue, kProfileColumns>;

// A failure on our own side (the file being written), told to the user in its own words rather
// than through WeChat's last answer.
class ExportSinkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the profiles go as they arrive, in list order. May throw ExportSinkError.
class FollowerSink {
public:
    virtual ~FollowerSink() = default;
    virtual void addFollower(const ProfileRow &row) = 0;
};

struct FollowerExportControl {
    // Profiles read so far and the total the first list page announced (0 while unknown).
    std::function<void(qint64 read, qint64 total)> progress;
    // Asked often, also while requests are under way; true ends the export within a fraction of a
    // second, abandons the requests in flight and hands nothing more to the sink.
    std::function<bool()> cancelled;
    // A new token for one WeChat refused (40001, 40014, 42001), asked for once per run; empty: such
    // a refusal ends the export like any other.
    std::function<QString(const QString &refused)> renewToken;
};

struct FollowerExportOutcome {
    enum class Status { Finished, Cancelled, Failed };
    Status status = Status::Failed;
    qint64 followers = 0; // profiles handed to the sink
    qint64 total = 0;     // what WeChat announced
    QString lastAnswer;   // the most recent answer text received
    QString message;      // for a failure: the text the user is shown
};

// The notice for a failed export, chosen by the last answer received.
QString followerExportFailureText(const QString &lastAnswer);

// Pages through user/get with next_openid and asks user/info/batchget for the profiles a hundred at
// a time, up to four requests in flight, handing each profile to the sink in list order. A hundred
// refused for one openid (40003) is asked for again one follower at a time; a follower who left
// (subscribe 0, no errcode, members missing) gets a row with subscribe and openid only. The token
// goes into every request as given, until WeChat refuses it and control.renewToken gives another.
// Never throws: every failure comes back as an outcome.
FollowerExportOutcome FetchFollowers(const QString &token, FollowerSink &sink,
                                     const FollowerExportControl &control = {});

// The whole export after the user has confirmed: LoadParameters on the connection given (config.ini
// is not read again), GetAccessToken, then FetchFollowers, which renews a refused token once.
FollowerExportOutcome ExportFollowers(const Settings &connection, FollowerSink &sink,
                                      const FollowerExportControl &control = {});

} // namespace veltrano
