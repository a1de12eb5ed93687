// Prints what one read of pending rows costs when the queue has kept a million sent rows, with the
// partial index on the pending rows and, as the floor measured in the same run, without it.
#include "core/app_context.h"
#include "core/database.h"
#include "core/send_batch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace veltrano;

namespace {

constexpr int kSent = 1000000;
constexpr int kPending = 300;
constexpr int kReads = 15;

// The median of kReads reads of one part, in milliseconds; each read is taken to its end.
double readMs(Database &db)
{
    std::vector<double> times;
    for (int i = 0; i < kReads; ++i) {
        QElapsedTimer clock;
        clock.start();
        QSqlQuery query = db.exec(db.sql().pendingMessages, {kRowsPerRead});
        int rows = 0;
        while (query.next())
            ++rows;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (rows != kRowsPerRead)
            std::fprintf(stderr, "read %d rows instead of %d\n", rows, kRowsPerRead);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    setApplicationFolder(dir.path());
    Settings connection;
    connection.driver = QStringLiteral("sqlite");
    connection.db = QStringLiteral("queue.db");
    Database db(connection, 0, MissingFile::Create);

    // The sent rows are the oldest, as in a queue that has run for years; the pending ones follow.
    db.exec(QStringLiteral("begin"));
    db.exec(QStringLiteral(
                "with recursive n(i) as (select 1 union all select i + 1 from n where i < ?) "
                "insert into tempmsg (msg, kind, openid, stat, sendtime) "
                "select '{\"touser\":\"o' || i || '\",\"template_id\":\"T\",\"data\":{}}', 1, "
                "'o' || i, '{\"errcode\":0,\"errmsg\":\"ok\"}', '2026-01-01 00:00:00' from n"),
            {kSent});
    db.exec(QStringLiteral(
                "with recursive n(i) as (select 1 union all select i + 1 from n where i < ?) "
                "insert into tempmsg (msg, kind, openid) "
                "select '{\"touser\":\"p' || i || '\",\"template_id\":\"T\",\"data\":{}}', 1, "
                "'p' || i from n"),
            {kPending});
    db.exec(QStringLiteral("commit"));
    db.exec(QStringLiteral("analyze"));

    const double indexed = readMs(db);
    db.exec(QStringLiteral("drop index tempmsg_pending"));
    const double floor = readMs(db);
    std::printf("pending read of %d rows beside %d sent rows (median of %d reads):\n", kRowsPerRead,
                kSent, kReads);
    std::printf("  floor, without the pending index: %8.2f ms\n", floor);
    std::printf("  with the pending index:           %8.2f ms  (%.4f x the floor)\n", indexed,
                indexed / floor);
    return 0;
}
