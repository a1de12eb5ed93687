// The batch: token once, up to `temp` pending rows posted by kind, each answer stored and logged.
#include "core/send_batch.h"

#include "core/database.h"
#include "core/http_client.h"
#include "core/logger.h"
#include "core/settings.h"
#include "core/tick_counter.h"
#include "core/token_manager.h"

#include <QJsonValue>

#include <vector>

namespace veltrano {
namespace {

struct PendingRow {
    QVariant body;
    QVariant id;
    QVariant kind;
};

void log(const QString &message)
{
    Logger::instance().log(message);
}

// WeChat refused the token itself: another program took a newer one, or it expired early.
bool tokenRefused(int errcode)
{
    return errcode == 40001 || errcode == 40014 || errcode == 42001;
}

std::optional<int> errcodeOf(const QString &answer)
{
    const auto object = ParseJson(answer);
    if (!object || !object->value(QStringLiteral("errcode")).isDouble())
        return std::nullopt;
    return object->value(QStringLiteral("errcode")).toInt();
}

QString idText(const QVariant &id)
{
    return id.toString();
}

class Batch {
public:
    BatchReport run();

private:
    bool handle(Database &db, const PendingRow &row);
    QString post(int kind, const QString &body);
    bool store(Database &db, const PendingRow &row, const QString &answer);
    QString renewToken();

    HttpClient m_http;
    QString m_token;
    BatchReport m_report;
};

BatchReport Batch::run()
{
    const Settings settings = gobal().snapshot();
    const std::optional<int> size = TickCounter::wholeNumber(settings.temp);
    if (!size || *size < 0) {
        log(QStringLiteral("  每次发送批量（temp）“%1”不是整数，本次不发送").arg(settings.temp));
        m_report.endedEarly = true;
        return m_report;
    }

    try {
        m_token = GetAccessToken(settings.appid, settings.appsecret, settings.get_token_mod,
                                 settings.token_server, m_http);
    } catch (const std::exception &e) {
        log(QStringLiteral("  获取ACCESS_TOKEN失败，本次不发送：") + QString::fromUtf8(e.what()));
        m_report.endedEarly = true;
        return m_report;
    }
    gobal().update([&](Settings &s) { s.cur_token = m_token; });

    try {
        Database db(settings);
        // Read the whole batch first: SQL Server drivers allow no second statement on a connection
        // while a result set is still open on it.
        std::vector<PendingRow> rows;
        QSqlQuery query = db.exec(db.sql().pendingMessages, {*size});
        while (query.next())
            rows.push_back({query.value(0), query.value(1), query.value(2)});
        query.finish();

        for (const PendingRow &row : rows) {
            LoadParameters(db);
            if (!handle(db, row)) {
                m_report.endedEarly = true;
                break;
            }
        }
    } catch (const DbError &e) {
        log(QStringLiteral("  读取待发消息失败，本次不发送：") + QString::fromUtf8(e.what()));
        m_report.endedEarly = true;
    }
    return m_report;
}

// False ends the batch: the row stays pending and so do all rows after it.
bool Batch::handle(Database &db, const PendingRow &row)
{
    bool isNumber = false;
    const int kind = row.kind.toString().trimmed().toInt(&isNumber);
    QString refusal;
    if (row.body.isNull())
        refusal = QStringLiteral("本地错误：消息内容为空，未发送");
    else if (!isNumber || (kind != 1 && kind != 2))
        refusal = QStringLiteral("本地错误：消息类型“%1”不是1（模板消息）或2（客服消息），未发送")
                      .arg(row.kind.toString());
    if (!refusal.isEmpty()) {
        if (!store(db, row, refusal))
            return false;
        ++m_report.markedLocally;
        log(QStringLiteral("  消息%1未发送：").arg(idText(row.id)) + refusal);
        return true;
    }

    const QString body = row.body.toString();
    QString answer;
    try {
        answer = post(kind, body);
        if (const auto code = errcodeOf(answer); code && tokenRefused(*code)) {
            log(QStringLiteral("  ACCESS_TOKEN被拒绝，重新获取后重发消息%1：").arg(idText(row.id)) + answer);
            m_token = renewToken();
            answer = post(kind, body); // recorded whatever it says: one retry, never a loop
        } else if (code && *code == -1) {
            log(QStringLiteral("  微信系统繁忙，消息%1保留待发，本批次结束：").arg(idText(row.id)) + answer);
            return false;
        }
    } catch (const std::exception &e) {
        log(QStringLiteral("  消息%1发送失败，保留待发，本批次结束：").arg(idText(row.id))
            + QString::fromUtf8(e.what()));
        return false;
    }

    gobal().update([&](Settings &s) { s.last_result = answer; });
    const bool stored = store(db, row, answer);
    log(QStringLiteral("  发送结果：") + answer);
    if (stored)
        ++m_report.posted;
    return stored;
}

QString Batch::post(int kind, const QString &body)
{
    return kind == 1 ? m_http.PostTemplateMessage(body, m_token)
                     : m_http.PostCustomMessage(body, m_token);
}

QString Batch::renewToken()
{
    const Settings settings = gobal().snapshot();
    const QString token = GetAccessToken(settings.appid, settings.appsecret, settings.get_token_mod,
                                         settings.token_server, m_http, /*forceRenew=*/true);
    gobal().update([&](Settings &s) { s.cur_token = token; });
    return token;
}

bool Batch::store(Database &db, const PendingRow &row, const QString &answer)
{
    try {
        db.exec(db.sql().markSent, {answer, row.id});
        return true;
    } catch (const DbError &e) {
        log(QStringLiteral("  消息%1的发送结果未能写入数据库，本批次结束：").arg(idText(row.id))
            + QString::fromUtf8(e.what()));
        return false;
    }
}

} // namespace

BatchReport RunSendBatch()
{
    return Batch().run();
}

} // namespace veltrano
