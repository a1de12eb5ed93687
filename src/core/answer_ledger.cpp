// The ledger file: {"queues": {"<queue>": {"unstored": {"<id>": "<answer>"}, "tries": {"<id>":
// n}}}}.
#include "core/answer_ledger.h"

#include "core/file_modes.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUuid>

namespace veltrano {

namespace {
const QString kQueues = QStringLiteral("queues");
const QString kUnstored = QStringLiteral("unstored");
const QString kTries = QStringLiteral("tries");
const QString kKeeper = QStringLiteral("keeper");

// The whole file as a JSON object; a missing file is an empty one. Anything else that is not a
// JSON object (unreadable, empty, cut short) sets *error and gives nothing.
QJsonObject readFile(const QString &path, QString *error)
{
    if (path.isEmpty() || !QFile::exists(path))
        return {};
    const QString name = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1：%2").arg(name, file.errorString());
        return {};
    }
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1：%2").arg(name, file.errorString());
        return {};
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parse);
    if (text.isEmpty() || parse.error != QJsonParseError::NoError || !document.isObject()) {
        *error =
            text.isEmpty()
                ? QStringLiteral("%1：文件为空").arg(name)
                : QStringLiteral("%1：内容不是有效的记录（%2）").arg(name, parse.errorString());
        return {};
    }
    return document.object();
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
    const QJsonObject root = readFile(m_path, &m_loadError);
    const QJsonObject queue = root.value(kQueues).toObject().value(m_queue).toObject();
    const QJsonObject unstored = queue.value(kUnstored).toObject();
    for (auto it = unstored.begin(); it != unstored.end(); ++it)
        m_unstored.insert(it.key(), it.value().toString());
    const QJsonObject tries = queue.value(kTries).toObject();
    for (auto it = tries.begin(); it != tries.end(); ++it)
        m_tries.insert(it.key(), it.value().toInt());
    m_keeper = queue.value(kKeeper).toString();
}

// Other queues' entries are read back and kept: one file serves every queue this folder sent from.
void AnswerLedger::save()
{
    if (m_path.isEmpty())
        return;
    if (!m_loadError.isEmpty()) {
        // Writing now would replace whatever the damaged file still holds.
        m_saved = false;
        m_error = m_loadError;
        return;
    }
    QString readError;
    QJsonObject root = readFile(m_path, &readError);
    if (!readError.isEmpty()) {
        m_saved = false;
        m_error = readError;
        return;
    }
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
        QJsonObject queue{{kUnstored, unstored}, {kTries, tries}};
        if (!m_keeper.isEmpty())
            queue.insert(kKeeper, m_keeper);
        queues.insert(m_queue, queue);
    }
    root.insert(kQueues, queues);

    if (queues.isEmpty() && !QFile::exists(m_path)) {
        m_saved = true;
        return; // nothing to remember: no file is made
    }
    // The new text replaces the old only once it is whole on disk: a full disk leaves the old file.
    QSaveFile file(m_path);
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    m_saved = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    if (m_saved) {
        m_error.clear();
        restrictToOwner(m_path);
    } else {
        m_error =
            QStringLiteral("%1：%2").arg(QDir::toNativeSeparators(m_path), file.errorString());
    }
}

bool AnswerLedger::reload()
{
    QMutexLocker lock(&m_mutex);
    m_loadError.clear();
    m_unstored.clear();
    m_tries.clear();
    m_keeper.clear();
    load();
    return m_loadError.isEmpty();
}

bool AnswerLedger::saved() const
{
    QMutexLocker lock(&m_mutex);
    return m_saved;
}

QString AnswerLedger::error() const
{
    QMutexLocker lock(&m_mutex);
    return m_error;
}

QString AnswerLedger::loadError() const
{
    QMutexLocker lock(&m_mutex);
    return m_loadError;
}

QString AnswerLedger::keeper() const
{
    QMutexLocker lock(&m_mutex);
    return m_keeper;
}

QMap<QString, QString> AnswerLedger::unstored() const
{
    QMutexLocker lock(&m_mutex);
    return m_unstored;
}

void AnswerLedger::keepUnstored(const QString &id, const QString &answer)
{
    QMutexLocker lock(&m_mutex);
    if (m_keeper.isEmpty())
        m_keeper = QUuid::createUuid().toString(QUuid::WithoutBraces);
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
