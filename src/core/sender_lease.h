// The right to send from a queue: one running copy at a time, across processes and machines.
#pragma once

#include <QElapsedTimer>
#include <QString>

namespace veltrano {

class Database;

// A lease kept in the queue's own sysParam table, in a row named "send_lock" whose ParamValue reads
// "<expiry>|<owner>|<host>|<process id>|<since>" (times by the database clock, UTC). It needs
// nothing but the documented sysParam columns, so it works on SQL Server and SQLite alike, across
// machines, and on an operator's own schema. Taking it is one conditional UPDATE (or, the first
// time, an INSERT that only succeeds when no row exists), so two copies can never both win.
// The holder renews it every minute; a copy that dies leaves it to expire after kLeaseSeconds,
// and another copy then takes over by itself (and says so). While the holder keeps answers its
// database would not take, the lease does not expire and a stop does not give it up: any other
// copy would post those rows again. The value then ends in "|kept:<keeper>", the ledger's name, so
// the same copy takes it back after a restart.
class AnswerLedger;

class SenderLease {
public:
    static constexpr int kLeaseSeconds = 180;
    static constexpr int kRenewAfterSeconds = 60;
    static inline const QString kParamName = QStringLiteral("send_lock");

    SenderLease();

    // The ledger whose kept answers hold the lease; nullptr: none.
    void keepAnswersOf(const AnswerLedger *ledger) { m_ledger = ledger; }

    // Makes sure the queue has its send_lock row and that this login may write it, so that a
    // service starts only when its batches can take the lease. Throws DbError with the cause and
    // the statement an operator runs to make the row by hand.
    static void prepare(Database &db);

    // Takes or renews the lease. True when this object holds it afterwards; otherwise holder()
    // says who does. Throws DbError when the database cannot answer.
    bool acquire(Database &db);
    // Renews only when the last renewal is older than kRenewAfterSeconds; true while held.
    bool renewIfDue(Database &db);
    // Gives the lease up at once (a stop), so another copy need not wait for it to expire.
    void release(Database &db);

    bool held() const { return m_held; }
    // "主机 H，进程 P，自 T 起": the copy that held the lease at the last failed acquire.
    QString holder() const { return m_holder; }
    QString owner() const { return m_owner; }

private:
    QString m_owner;
    QString m_since;
    QString m_holder;
    bool m_held = false;
    QElapsedTimer m_renewed;
    const AnswerLedger *m_ledger = nullptr;
};

} // namespace veltrano
