// Prints what the SQLite message database costs: opening, the parameter load, queueing and marking.
#include "core/app_context.h"
#include "core/database.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

using namespace veltrano;

namespace {

template <class Work>
double microsecondsPer(int rounds, Work &&work)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        work(i);
    return double(timer.nsecsElapsed()) / 1000.0 / rounds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    setApplicationFolder(dir.path());
    Settings connection;
    connection.driver = QStringLiteral("sqlite");

    int files = 0;
    const double create = microsecondsPer(20, [&](int) {
        connection.db = QStringLiteral("new-%1.db").arg(++files);
        Database db(connection, 0, MissingFile::Create);
    });
    std::printf("open a new file with schema and keys: %8.0f us\n", create);

    connection.db = QStringLiteral("bench.db");
    {
        Database db(connection, 0, MissingFile::Create);
    }
    const double reopen = microsecondsPer(200, [&](int) { Database db(connection); });
    std::printf("open an existing file:                %8.0f us\n", reopen);

    Database db(connection);
    Settings loaded = connection;
    const double load = microsecondsPer(500, [&](int) { LoadParameters(db, loaded); });
    std::printf("LoadParameters on an open connection: %8.0f us\n", load);
    const double loadOwn = microsecondsPer(200, [&](int) {
        Database own(connection);
        LoadParameters(own, loaded);
    });
    std::printf("LoadParameters with its own connection: %6.0f us (get_token_mod \"%s\")\n",
                loadOwn, qPrintable(loaded.get_token_mod));

    const QString body = QStringLiteral(
        R"({"touser":"oABCDEFG1234567890","template_id":"tpl","data":{"first":{"value":"您好"}}})");
    const int rows = 5000;
    const double queue = microsecondsPer(rows, [&](int) {
        db.exec(QStringLiteral("insert into tempmsg (msg, kind) values (?, 1)"), {body});
    });
    std::printf("queue one message (autocommit):       %8.0f us\n", queue);

    const double batch = microsecondsPer(rows / 20, [&](int) {
        QSqlQuery pending = db.exec(db.sql().pendingMessages, {20});
        QVariantList ids;
        while (pending.next())
            ids << pending.value(1);
        pending.finish();
        for (const QVariant &id : ids)
            db.exec(db.sql().markSent, {QStringLiteral(R"({"errcode":0,"errmsg":"ok"})"), id});
    });
    std::printf("batch of 20: read pending, mark each: %8.0f us\n", batch);

    const double records = microsecondsPer(50, [&](int) {
        QSqlQuery q = db.exec(db.sql().sendRecords, {QStringLiteral("模板消息"), 91});
        int n = 0;
        while (q.next())
            ++n;
        if (n != rows)
            std::printf("unexpected record count %d\n", n);
    });
    std::printf("SEND_REC, %d rows, three months:    %8.0f us\n", rows, records);
    return 0;
}
