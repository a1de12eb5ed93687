// Digit-only input for number boxes: a key filter for typing, a validator for everything else.
#include "dialogs/digit_box.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace veltrano {
namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Decides on the characters a key would type, before the box sees the key.
class DigitKeyFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return QObject::eventFilter(watched, event);
        const auto *key = static_cast<QKeyEvent *>(event);
        // Shortcuts such as Ctrl+A, Ctrl+C and Ctrl+V type nothing themselves; what a paste would
        // bring in is judged by the validator.
        if (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier | Qt::AltModifier))
            return false;
        // Keys that edit or move rather than type a character are no characters to filter.
        switch (key->key()) {
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
        case Qt::Key_Tab:
        case Qt::Key_Backtab: return false;
        default: break;
        }
        const QString text = key->text();
        if (text.isEmpty())
            return false;
        for (QChar c : text) {
            if (!isAsciiDigit(c))
                return true; // discarded: letters, signs, points, control characters alike
        }
        return false;
    }
};

} // namespace

void acceptDigitsOnly(QLineEdit *box)
{
    box->installEventFilter(new DigitKeyFilter(box));
    // Pastes, drops and input methods bypass the key filter; the validator refuses them whole.
    box->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), box));
}

QString decimalText(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) {
        negative = t[i] == u'-';
        ++i;
    }
    if (i == t.size())
        return {};
    for (qsizetype j = i; j < t.size(); ++j) {
        if (!isAsciiDigit(t[j]))
            return {};
    }
    // Any length of digits is a number; only its leading zeros go.
    while (i < t.size() - 1 && t[i] == u'0')
        ++i;
    const QString digits = t.mid(i);
    return negative && digits != u"0" ? u'-' + digits : digits;
}

} // namespace veltrano
