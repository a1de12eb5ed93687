// Masking secrets in outgoing texts: the remembered values, then the named ones by pattern.
#include "core/secrets.h"

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>

namespace veltrano {
namespace {

// WeChat's appsecret has 32 characters and a token far more; shorter texts are ordinary words.
constexpr qsizetype kShortestSecret = 12;
// Tokens are renewed every 100 minutes; a long-running service keeps only the recent ones.
constexpr qsizetype kRemembered = 32;
const QString kMask = QStringLiteral("***");

struct Remembered {
    QMutex mutex;
    QStringList secrets;
};

Remembered &remembered()
{
    static Remembered state;
    return state;
}

} // namespace

void rememberSecret(const QString &secret)
{
    const QString value = secret.trimmed();
    if (value.size() < kShortestSecret)
        return;
    Remembered &state = remembered();
    QMutexLocker lock(&state.mutex);
    if (state.secrets.contains(value))
        return;
    state.secrets.append(value);
    if (state.secrets.size() > kRemembered)
        state.secrets.removeFirst();
}

QString maskSecrets(const QString &text)
{
    QString masked = text;
    {
        Remembered &state = remembered();
        QMutexLocker lock(&state.mutex);
        for (const QString &secret : std::as_const(state.secrets))
            masked.replace(secret, kMask);
    }
    // Most lines name no secret at all: the patterns run only where one may be.
    if (!masked.contains(QLatin1String("secret"), Qt::CaseInsensitive)
        && !masked.contains(QLatin1String("token"), Qt::CaseInsensitive))
        return masked;
    static const QRegularExpression
        inQuery(QStringLiteral(R"re(((?:app)?secret|access_token)(=|%3D)[^&\s"'<>]+)re"),
                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression
        inJson(QStringLiteral(R"re(("(?:app)?secret"|"access_token")(\s*:\s*)"(?:[^"\\]|\\.)*")re"),
               QRegularExpression::CaseInsensitiveOption);
    masked.replace(inQuery, QStringLiteral("\\1\\2") + kMask);
    masked.replace(inJson, QStringLiteral("\\1\\2\"") + kMask + QStringLiteral("\""));
    return masked;
}

} // namespace veltrano
