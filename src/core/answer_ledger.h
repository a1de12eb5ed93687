// What the send batch must remember between batches and restarts: answers the database would not
// take yet, and how often each row got an answer that said "not now".
#pragma once

#include <QMap>
#include <QMutex>
#include <QString>

namespace veltrano {

// One ledger per queue, kept in memory and in a small JSON file so that a restart neither re-posts
// a message whose answer is still unstored nor forgets a row's earlier tries. The file holds the
// entries of every queue the program has sent from, keyed by the queue's identity; it is replaced
// whole and atomically on each change (the entries are few) and readable by its owner only.
class AnswerLedger {
public:
    // An empty path keeps the ledger in memory only.
    AnswerLedger(const QString &filePath, const QString &queueKey);

    // The queue identity: the database driver, host and name as config.ini holds them.
    static QString queueKey(const QString &driver, const QString &host, const QString &db);
    QString queue() const { return m_queue; }

    // Answers posted but not yet written back, by row id (the id's text).
    QMap<QString, QString> unstored() const;
    void keepUnstored(const QString &id, const QString &answer);
    void forgetUnstored(const QString &id);
    bool isUnstored(const QString &id) const;

    // Counts one more "not now" answer for the row; returns the count so far.
    int countTry(const QString &id);
    void forgetTries(const QString &id);

    // False when the file could not be written; the entries stay in memory all the same, and
    // error() names the file and the cause.
    bool saved() const;
    QString error() const;
    // Why the file could not be read (it names the file), or empty. An empty, unreadable or
    // damaged file is not an empty ledger: it may have held answers that must not be posted again.
    // While it stands, nothing is written to the file either.
    QString loadError() const;
    // Reads a file that could not be read before (the operator may have repaired it); true when it
    // now reads.
    bool reload();

    // The name this ledger's copy gives itself in the send lease while it keeps answers, so that a
    // restart of the same copy takes the lease back; made with the first kept answer and kept in
    // the file with it.
    QString keeper() const;

private:
    void load();
    void save();

    QString m_path;
    QString m_queue;
    QMap<QString, QString> m_unstored;
    QMap<QString, int> m_tries;
    QString m_keeper;
    bool m_saved = true;
    QString m_error;
    QString m_loadError;
    mutable QMutex m_mutex;
};

} // namespace veltrano
