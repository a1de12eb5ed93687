// One batch of the send cycle: a token, the pending rows, one post each, every answer written back.
#pragma once

#include "core/settings.h"

#include <QMetaType>
#include <QString>

#include <atomic>
#include <optional>

namespace veltrano {

class AnswerLedger;
class Database;
class SenderLease;

struct BatchReport {
    bool ran = false;         // the batch reached the queue; false: skipped, `failure` says why
    QString failure;          // why the batch was skipped or ended early; empty when neither
    int posted = 0;           // answers WeChat gave and the database stored, accepted or refused
    int refused = 0;          // of those, answers with a non-zero errcode
    int markedLocally = 0;    // rows given a local error text instead of a post
    int unstored = 0;         // answers kept in the ledger because the database refused them
    bool endedEarly = false;  // the rows not reached stay pending
    bool tokenFailed = false; // no access token: nothing was posted
    int pending = -1;         // rows still pending after the batch; -1 when not known
    QString token;            // the access token the batch used
    QString lastResult;       // the latest answer stored
    std::optional<Settings> parameters; // the latest sysParam values the batch loaded
};

// What a batch works with. The settings hold the connection fields and the parameters; the
// parameters are reloaded from sysParam when the batch begins and before every message, since
// operators change them while a service runs.
struct BatchContext {
    Settings settings;
    AnswerLedger *ledger = nullptr;           // required
    SenderLease *lease = nullptr;             // required
    const std::atomic<bool> *abort = nullptr; // set: end after the messages in flight
    int postsInFlight = 4;                    // posts on their way at once, 1 to kMaxPostsInFlight
};

inline constexpr int kMaxPostsInFlight = 16;
// Posts on their way at once when config.ini does not say: a follower's messages still go one
// after the other, and WeChat's latency is paid once per four messages instead of once each.
inline constexpr int kDefaultPostsInFlight = 4;
// A batch reads its pending rows this many at a time.
inline constexpr int kRowsPerRead = 256;

// The rows still waiting for a post; -1 when the count gives no row. Throws DbError.
int CountPending(Database &db);

// config.ini's posts_in_flight as a number from 1 to kMaxPostsInFlight (kDefaultPostsInFlight when
// empty); nothing when the text is neither empty nor such a number (the caller then uses
// kDefaultPostsInFlight and says so).
std::optional<int> postsInFlight(const QString &text);

// A row that gets this many "not now" answers in a row is given up with a local error text.
inline constexpr int kMaxTries = 5;
// Answers are stored and logged bounded, with a visible cut mark.
inline constexpr int kMaxStoredAnswer = 64 * 1024;
inline constexpr int kMaxLoggedAnswer = 2 * 1024;

// Runs on the service's worker and never throws: a failure skips or ends the batch with a log line.
// Each row is posted at most once: an answer is written back before the next post, or kept in the
// ledger and written back first at the next batch. Answers that say "not now" (-1, 45009, 45011,
// HTTP errors, no WeChat answer at all) leave the row pending and end the batch; a refused token
// is renewed at most once per batch, once every answer on its way is stored. Rows go in queue
// order, and never two to one follower (the body's touser) at once.
BatchReport RunSendBatch(BatchContext &context);

// The text stored for an answer: whole up to kMaxStoredAnswer characters. Beyond, a WeChat answer
// is stored as {"errcode","errmsg","msgid","note"} and any other text is cut with a mark.
QString storedAnswer(const QString &answer);

} // namespace veltrano
Q_DECLARE_METATYPE(veltrano::BatchReport)
