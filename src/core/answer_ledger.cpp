// The ledger file: {"queues": {"<queue>": {"unstored": {"<id>": "<answer>"}, "tries": {"<id>": n}}}}.
#include "core/answer_ledger.h"

#include "core/file_modes.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace veltrano {

namespace {
const QString kQueues = QStringLiteral("queues");
const QString kUnstored = QStringLiteral("unstored");
const QString kTries = QStringLiteral("tries");

QJsonObject readFile(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}
} // namespace

AnswerLedger::AnswerLedger(const QString &filePath, const QString &queueKey)
    : m_path(filePath), m_queue(queueKey)
{
    load();
}

QString AnswerLedger::queueKey(const QString &driver, const QString &host, const QString &db)
{
    return driver.trimmed().toLower() + u'|' + host.trimmed() + u'|' + db.trimmed();
}

void AnswerLedger::load()
{
    const QJsonObject queue = readFile(m_path).value(kQueues).toObject().value(m_queue).toObject();
    const QJsonObject unstored = queue.value(kUnstored).toObject();
    for (auto it = unstored.begin(); it != unstored.end(); ++it)
        m_unstored.insert(it.key(), it.value().toString());
    const QJsonObject tries = queue.value(kTries).toObject();
    for (auto it = tries.begin(); it != tries.end(); ++it)
        m_tries.insert(it.key(), it.value().toInt());
}

// Other queues' entries are read back and kept: one file serves every queue this folder sent from.
void AnswerLedger::save()
{
    if (m_path.isEmpty())
        return;
    QJsonObject root = readFile(m_path);
    QJsonObject queues = root.value(kQueues).toObject();
    if (m_unstored.isEmpty() && m_tries.isEmpty()) {
        queues.remove(m_queue);
    } else {
        QJsonObject unstored;
        for (auto it = m_unstored.begin(); it != m_unstored.end(); ++it)
            unstored.insert(it.key(), it.value());
        QJsonObject tries;
        for (auto it = m_tries.begin(); it != m_tries.end(); ++it)
            tries.insert(it.key(), it.value());
        queues.insert(m_queue, QJsonObject{{kUnstored, unstored}, {kTries, tries}});
    }
    root.insert(kQueues, queues);

    if (queues.isEmpty() && !QFile::exists(m_path)) {
        m_saved = true;
        return; // nothing to remember: no file is made
    }
    QSaveFile file(m_path);
    m_saved = file.open(QIODevice::WriteOnly)
              && file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
    if (m_saved)
        restrictToOwner(m_path);
}

QMap<QString, QString> AnswerLedger::unstored() const
{
    QMutexLocker lock(&m_mutex);
    return m_unstored;
}

void AnswerLedger::keepUnstored(const QString &id, const QString &answer)
{
    QMutexLocker lock(&m_mutex);
    m_unstored.insert(id, answer);
    m_tries.remove(id);
    save();
}

void AnswerLedger::forgetUnstored(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    if (m_unstored.remove(id) > 0)
        save();
}

bool AnswerLedger::isUnstored(const QString &id) const
{
    QMutexLocker lock(&m_mutex);
    return m_unstored.contains(id);
}

int AnswerLedger::countTry(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    const int count = ++m_tries[id];
    save();
    return count;
}

void AnswerLedger::forgetTries(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    if (m_tries.remove(id) > 0)
        save();
}

} // namespace veltrano
