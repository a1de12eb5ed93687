// Prints how fast one batch of 1,000 queued messages goes out, and how long the GUI thread waits.
#include "app/form1.h"
#include "core/database.h"
#include "core/settings.h"
#include "support/fake_wechat.h"
#include "support/sqlite_queue.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

using namespace veltrano;

namespace {

constexpr int kMessages = 1000;

void fillQueue(testsupport::SqliteQueue &queue)
{
    queue.setParam(QStringLiteral("temp"), QString::number(kMessages));
    queue.setParam(QStringLiteral("temp_timer"), QStringLiteral("1"));
    queue.setParam(QStringLiteral("appid"), QStringLiteral("wxBENCH"));
    queue.setParam(QStringLiteral("appsecret"), QStringLiteral("SECRET"));
    Database db(queue.connection());
    db.exec(QStringLiteral("begin"));
    for (int n = 0; n < kMessages; ++n) {
        const QString openid = QStringLiteral("oBENCH%1").arg(n, 22, 10, QChar(u'0'));
        const bool custom = n % 4 == 3;
        const QString body =
            custom ? QStringLiteral(R"({"touser":"%1","msgtype":"text","text":{"content":"您好，第%2条"}})")
                         .arg(openid)
                         .arg(n)
                   : QStringLiteral(R"({"touser":"%1","template_id":"TPL","data":{"thing1":{"value":"订单%2"}}})")
                         .arg(openid)
                         .arg(n);
        db.exec(QStringLiteral("insert into tempmsg (msg, kind, openid) values (?, ?, ?)"),
                {body, custom ? 2 : 1, openid});
    }
    db.exec(QStringLiteral("commit"));
    queue.load();
}

void measure(int latencyMs)
{
    testsupport::SqliteQueue queue;
    testsupport::FakeWeChat fake;
    fake.setLatency(latencyMs);
    testsupport::ScopedApiBase api(fake);
    fillQueue(queue);

    Form1 window;
    window.show();
    window.svrflag = 1;
    window.Text2->setText(QStringLiteral("59")); // the next tick completes the minute
    window.Text4->setText(QStringLiteral("0"));

    // A 1 ms timer on the GUI thread: the longest gap between its firings is the longest stretch
    // the thread went without handling events.
    QElapsedTimer sinceLast;
    qint64 longestGapNs = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        longestGapNs = std::max(longestGapNs, sinceLast.nsecsElapsed());
        sinceLast.restart();
    });

    QEventLoop loop;
    QObject::connect(&window, &Form1::batchFinished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    sinceLast.start();
    probe.start();
    window.Timer1_Timer();
    loop.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    probe.stop();

    const int sent = fake.sendCount();
    const double perMessageMs = seconds * 1000.0 / sent;
    std::printf("latency %2d ms: %d messages in %.2f s = %.0f messages/s; %.3f ms per message beyond "
                "the API's latency; longest GUI stall %.1f ms; %d still pending\n",
                latencyMs, sent, seconds, sent / seconds, perMessageMs - latencyMs,
                longestGapNs / 1e6, queue.pending());
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::printf("send_batch: one batch of %d messages (3 template : 1 customer-service) on SQLite\n",
                kMessages);
    measure(0);
    measure(20);
    return 0;
}
