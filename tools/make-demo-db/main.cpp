// make-demo-db: a demo application folder with config.ini and an SQLite queue of a dozen messages.
#include "core/app_context.h"
#include "core/database.h"
#include "core/profile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

using namespace veltrano;

namespace {

QString templateMessage(int n, const QString &openid)
{
    static const char *const items[] = {"咖啡豆 500g", "保温杯", "蓝牙耳机", "笔记本",
                                        "帆布包",      "台灯",   "绿茶礼盒", "雨伞"};
    return QStringLiteral(
               R"({"touser":"%1","template_id":"TPL_ORDER_SHIPPED","url":"https://example.com/orders/%2",)"
               R"("data":{"thing1":{"value":"%3"},"character_string2":{"value":"NO.2026%2"},)"
               R"("time3":{"value":"2026-12-08 10:%2"}}})")
        .arg(openid)
        .arg(10 + n)
        .arg(QString::fromUtf8(items[n % 8]));
}

QString customMessage(int n, const QString &openid)
{
    return QStringLiteral(
               R"({"touser":"%1","msgtype":"text","text":{"content":"您好，您咨询的第%2个问题已有答复，请查收。"}})")
        .arg(openid)
        .arg(n + 1);
}

} // namespace

const char kUsage[] =
    "usage: make-demo-db [--help] [--] FOLDER\n"
    "Writes FOLDER/config.ini for the embedded database FOLDER/demo.db and fills that\n"
    "file with twelve queued messages (template and customer-service) and a one-minute\n"
    "interval. An existing demo.db is replaced.\n";

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Options are parsed before anything is made, so "--help" or a typo never becomes a folder.
    QString folderArgument;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (!optionsEnded && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.startsWith(u'-') && arg.size() > 1) {
            std::fprintf(stderr, "make-demo-db: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
        if (!folderArgument.isEmpty()) {
            std::fprintf(stderr, "make-demo-db: one folder only\n%s", kUsage);
            return 2;
        }
        folderArgument = arg;
    }
    if (folderArgument.isEmpty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const QString folder = QDir(folderArgument).absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "make-demo-db: cannot create %s\n", qPrintable(folder));
        return 1;
    }
    setApplicationFolder(folder);
    QFile::remove(QDir(folder).filePath(QStringLiteral("demo.db")));

    const QString ini = configFilePath();
    const std::pair<const char *, const char *> keys[] = {{"host", ""},
                                                          {"uid", ""},
                                                          {"pwd", ""},
                                                          {"db", "demo.db"},
                                                          {"driver", "sqlite"}};
    for (const auto &[key, value] : keys) {
        if (!WriteProfileValue(ini, QStringLiteral("con"), QString::fromLatin1(key),
                               QString::fromLatin1(value))) {
            std::fprintf(stderr, "make-demo-db: cannot write %s\n", qPrintable(ini));
            return 1;
        }
    }

    try {
        Settings connection;
        LoadConnectionSettings(connection);
        {
            Database created(connection, 0, MissingFile::Create);
        }
        StoreParameters(connection, {{QStringLiteral("appid"), QStringLiteral("wxdemo0000000001")},
                                     {QStringLiteral("appsecret"), QStringLiteral("demo-secret")},
                                     {QStringLiteral("get_token_mod"), QStringLiteral("1")},
                                     {QStringLiteral("temp"), QStringLiteral("10")},
                                     {QStringLiteral("temp_timer"), QStringLiteral("1")}});
        Database db(connection);
        for (int n = 0; n < 12; ++n) {
            const QString openid = QStringLiteral("oDEMO%1").arg(n + 1, 23, 10, QChar(u'0'));
            const bool custom = n % 3 == 2;
            db.exec(QStringLiteral("insert into tempmsg (msg, kind, openid) values (?, ?, ?)"),
                    {custom ? customMessage(n, openid) : templateMessage(n, openid), custom ? 2 : 1,
                     openid});
        }
    } catch (const DbError &e) {
        std::fprintf(stderr, "make-demo-db: %s\n", e.what());
        return 1;
    }
    std::printf("demo folder ready: %s\n", qPrintable(folder));
    return 0;
}
