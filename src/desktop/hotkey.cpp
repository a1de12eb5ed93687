// The global hot key: parses the key description, keeps the module state and hooks the main window.
#include "desktop/hotkey.h"
#include "desktop/hotkey_platform.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace veltrano {
namespace {

// Sees every native event of the GUI thread before the rest of the program does.
class HotKeyFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        return HotKeyWindowProc(eventType, message);
    }
};

struct Module {
    HotKeyState state;
    HotKeyFilter *filter = nullptr;
    QPointer<QAbstractEventDispatcher> dispatcher;
};

Module &module()
{
    static Module m;
    return m;
}

void installHook(Module &m)
{
    QCoreApplication *app = QCoreApplication::instance();
    QAbstractEventDispatcher *dispatcher =
        app ? QAbstractEventDispatcher::instance(app->thread()) : nullptr;
    m.state.PrevWndProc = reinterpret_cast<quintptr>(dispatcher);
    m.dispatcher = dispatcher;
    if (!m.filter)
        m.filter = new HotKeyFilter;
    if (dispatcher)
        dispatcher->installNativeEventFilter(m.filter);
}

void removeHook(Module &m)
{
    if (m.dispatcher && m.filter)
        m.dispatcher->removeNativeEventFilter(m.filter);
    delete m.filter;
    m.filter = nullptr;
}

// A whole number from a parsed value, rounded half to even (2.5 gives 2, 3.5 gives 4); beyond 32
// bits it is an overflow, not a silently wrapped key code.
int toInt32(double value, const QString &text)
{
    const double rounded = std::nearbyint(value);
    if (!std::isfinite(rounded) || rounded < std::numeric_limits<qint32>::min()
        || rounded > std::numeric_limits<qint32>::max()) {
        throw std::out_of_range(QStringLiteral("热键键码超出范围：%1").arg(text).toStdString());
    }
    return static_cast<int>(rounded);
}

const QRegularExpression &leadingNumber()
{
    static const QRegularExpression re(
        QStringLiteral(R"(^[ \t\r\n]*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][+-]?\d+)?))"));
    return re;
}

const QRegularExpression &wholeNumber()
{
    static const QRegularExpression re(
        QStringLiteral(R"(^\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)\s*$)"));
    return re;
}

} // namespace

const HotKeyState &hotKeyState()
{
    return module().state;
}

HotKeyDescription parseHotKeyDescription(const QString &description)
{
    HotKeyDescription result;
    const qsizetype comma = description.indexOf(u',');
    if (comma >= 0) {
        const QString code = description.mid(comma + 1);
        const QRegularExpressionMatch m = wholeNumber().match(code);
        if (!m.hasMatch()) {
            throw std::invalid_argument(
                QStringLiteral("热键描述中逗号后的键码不是数字：“%1”").arg(code).toStdString());
        }
        result.keyCode = toInt32(m.captured(1).toDouble(), code);
        result.modifierName = description.left(comma);
    } else {
        const QRegularExpressionMatch m = leadingNumber().match(description);
        if (m.hasMatch()) {
            QString number = m.captured(1);
            number.replace(u'd', u'e').replace(u'D', u'e'); // "1D2" is an exponent as much as "1E2"
            result.keyCode = toInt32(number.toDouble(), description);
        }
    }
    return result;
}

int hotKeyModifierFlags(const QString &modifierName)
{
    // Written orders other than these (Alt before Ctrl, Alt before Shift) are deliberately not
    // recognised: they give no modifier at all.
    static const std::pair<const char16_t *, int> table[] = {
        {u"Ctrl", kModControl},
        {u"Alt", kModAlt},
        {u"Shift", kModShift},
        {u"Ctrl+Alt", kModControl | kModAlt},
        {u"Ctrl+Shift", kModControl | kModShift},
        {u"Ctrl+Alt+Shift", kModControl | kModAlt | kModShift},
        {u"Shift+Alt", kModShift | kModAlt},
    };
    for (const auto &[name, flags] : table) {
        if (modifierName == QStringView(name))
            return flags;
    }
    return 0;
}

void SetHotKey(int id, const QString &description, const QString &action)
{
    const HotKeyDescription key = parseHotKeyDescription(description);
    const bool add = action == u"Add";
    // Any other action would install the hook without recording it, and a later call would stack a
    // second one on top; it is refused before anything changes.
    if (!add && action != u"Del")
        return;

    Module &m = module();
    HotKeyState &s = m.state;
    s.HotKeyId = 0;
    s.HotKeyModifiers = 0;
    s.HotKeyCode = 0;
    // Also for "Del" without a hook: it goes in here and comes out again below.
    if (!s.HookInstalled)
        installHook(m);
    s.HotKeyId = id;

    if (add) {
        s.HotKeyModifiers = hotKeyModifierFlags(key.modifierName);
        s.HotKeyCode = key.keyCode;
        // A refusal is remembered by the platform layer; hotKeyBound() tells the main window.
        hotkeyplatform::bind(s.HotKeyId, s.HotKeyModifiers, s.HotKeyCode);
        s.HookInstalled = true;
    } else {
        removeHook(m);
        hotkeyplatform::unbind(s.HotKeyId);
        s.HookInstalled = false;
    }
}

bool HotKeyWindowProc(const QByteArray &eventType, void *message)
{
    // The main window's hot key is always id 0, whatever id the latest call used.
    const std::optional<int> pressed = hotkeyplatform::pressedHotKey(eventType, message);
    if (pressed && *pressed == 0)
        Q_EMIT HotKeySignals::instance().toggleMainWindow();
    return false;
}

bool hotKeyBound()
{
    const Module &m = module();
    return m.state.HookInstalled && m.filter && m.dispatcher && hotkeyplatform::isBound(0);
}

HotKeySignals &HotKeySignals::instance()
{
    static HotKeySignals one;
    return one;
}

namespace testing {
void resetHotKeyModule()
{
    Module &m = module();
    removeHook(m);
    hotkeyplatform::unbindAll();
    m.dispatcher = nullptr;
    m.state = HotKeyState();
}

bool hotKeyFilterInstalled()
{
    const Module &m = module();
    return m.filter != nullptr && m.dispatcher != nullptr;
}
} // namespace testing

} // namespace veltrano
