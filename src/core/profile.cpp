// A small reader and writer that keeps the Windows private-profile semantics on every platform.
#include "core/profile.h"

#include "core/app_context.h"
#include "core/settings.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <optional>
#include <vector>

namespace veltrano {
namespace {

struct Line {
    QByteArray text;       // without its line break
    QByteArray terminator; // "\n", "\r\n" or "" for a last line without one
};

// The byte-order mark Notepad puts before a file it saves as UTF-8.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

std::vector<Line> splitLines(const QByteArray &data)
{
    std::vector<Line> lines;
    qsizetype start = data.startsWith(kUtf8Bom) ? 3 : 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0) {
            lines.push_back({data.mid(start), {}});
            break;
        }
        const bool crlf = end > start && data.at(end - 1) == '\r';
        lines.push_back({data.mid(start, end - start - (crlf ? 1 : 0)), crlf ? "\r\n" : "\n"});
        start = end + 1;
    }
    return lines;
}

QByteArray trimBlanks(const QByteArray &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && (text.at(b) == ' ' || text.at(b) == '\t'))
        ++b;
    while (e > b && (text.at(e - 1) == ' ' || text.at(e - 1) == '\t'))
        --e;
    return text.mid(b, e - b);
}

// New text is written as UTF-8, which holds every character; a line that is not UTF-8 was written
// in the system's code page (GBK on a Chinese Windows, by an older copy or by hand) and reads in
// it. Decoding line by line keeps both readable in one file.
bool isUtf8(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = utf8.decode(bytes);
    return !utf8.hasError();
}

QString fromFileBytes(const QByteArray &bytes)
{
    return isUtf8(bytes) ? QString::fromUtf8(bytes) : QString::fromLocal8Bit(bytes);
}

bool sameName(const QByteArray &raw, const QString &name)
{
    return fromFileBytes(trimBlanks(raw)).compare(name.trimmed(), Qt::CaseInsensitive) == 0;
}

// The section a header line names, or nothing when the line is not a header.
std::optional<QByteArray> sectionName(const QByteArray &line)
{
    const QByteArray t = trimBlanks(line);
    if (!t.startsWith('['))
        return std::nullopt;
    const qsizetype close = t.indexOf(']');
    return close < 0 ? t.mid(1) : t.mid(1, close - 1);
}

bool isComment(const QByteArray &line)
{
    const QByteArray t = trimBlanks(line);
    return t.startsWith(';');
}

// Index range [first, end) of the lines inside the first section called `section`, header excluded.
std::optional<std::pair<size_t, size_t>> findSection(const std::vector<Line> &lines,
                                                     const QString &section)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = sectionName(lines[i].text);
        if (!name || !sameName(*name, section))
            continue;
        size_t end = i + 1;
        while (end < lines.size() && !sectionName(lines[end].text))
            ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

std::optional<size_t> findKey(const std::vector<Line> &lines, size_t first, size_t end,
                              const QString &key)
{
    for (size_t i = first; i < end; ++i) {
        const qsizetype eq = lines[i].text.indexOf('=');
        if (eq > 0 && !isComment(lines[i].text) && sameName(lines[i].text.left(eq), key))
            return i;
    }
    return std::nullopt;
}

// Cuts to at most maxBytes of the file's own encoding without splitting a character, so the cut
// never yields a broken one.
QString cutBytes(const QByteArray &value, qsizetype maxBytes)
{
    if (value.size() <= maxBytes)
        return fromFileBytes(value);
    if (isUtf8(value)) {
        qsizetype n = maxBytes;
        while (n > 0 && (static_cast<unsigned char>(value.at(n)) & 0xC0) == 0x80)
            --n;
        return QString::fromUtf8(value.left(n));
    }
    QString text = QString::fromLocal8Bit(value);
    while (!text.isEmpty() && text.toLocal8Bit().size() > maxBytes)
        text.chop(1);
    return text;
}

// Whether a shifted code unit can stand in the file as itself and come back unchanged.
bool storable(char16_t unit)
{
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == u'$')
        return false;
    if (QChar::isSurrogate(unit) || unit == 0xFFFE || unit == 0xFFFF)
        return false;
    const QChar ch(unit);
    return !ch.isSpace() && ch.category() != QChar::Other_NotAssigned;
}

} // namespace

QString configFilePath()
{
    return configFile();
}

QString ReadProfileValue(const QString &file, const QString &section, const QString &key, int size)
{
    QFile f(file);
    if (size == 0 || !f.open(QIODevice::ReadOnly))
        return {};
    const std::vector<Line> lines = splitLines(f.readAll());
    const auto range = findSection(lines, section);
    if (!range)
        return {};
    const auto at = findKey(lines, range->first, range->second, key);
    if (!at)
        return {};
    const QByteArray &text = lines[*at].text;
    const QByteArray value = trimBlanks(text.mid(text.indexOf('=') + 1));
    return size < 0 ? fromFileBytes(value) : cutBytes(value, size - 1);
}

bool WriteProfileValue(const QString &file, const QString &section, const QString &key,
                       const QString &value)
{
    if (value.contains(u'\n') || value.contains(u'\r') || key.trimmed().isEmpty())
        return false;

    QByteArray data;
    {
        QFile existing(file);
        if (existing.exists()) {
            if (!existing.open(QIODevice::ReadOnly))
                return false;
            data = existing.readAll();
        }
    }
    std::vector<Line> lines = splitLines(data);
    const QByteArray eol = data.contains("\r\n") || (data.isEmpty() && QDir::separator() == u'\\')
                               ? QByteArray("\r\n")
                               : QByteArray("\n");
    const QByteArray entry = key.trimmed().toUtf8() + '=' + value.toUtf8();

    if (const auto range = findSection(lines, section)) {
        if (const auto at = findKey(lines, range->first, range->second, key)) {
            lines[*at].text = entry;
        } else {
            // After the section's last non-blank line, as the Windows call places a new key.
            size_t insertAt = range->second;
            while (insertAt > range->first && trimBlanks(lines[insertAt - 1].text).isEmpty())
                --insertAt;
            if (insertAt > 0 && lines[insertAt - 1].terminator.isEmpty())
                lines[insertAt - 1].terminator = eol;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), Line{entry, eol});
        }
    } else {
        if (!lines.empty() && lines.back().terminator.isEmpty())
            lines.back().terminator = eol;
        lines.push_back({'[' + section.trimmed().toUtf8() + ']', eol});
        lines.push_back({entry, eol});
    }

    // A mark the file had stays, so the editor that wrote it still reads it the same way.
    QByteArray out = data.startsWith(kUtf8Bom) ? QByteArray(kUtf8Bom) : QByteArray();
    for (const Line &line : lines)
        out += line.text + line.terminator;
    QSaveFile save(file);
    if (!save.open(QIODevice::WriteOnly))
        return false;
    save.write(out);
    return save.commit();
}

QString ShiftPassword(const QString &text, bool encode)
{
    QString out;
    out.reserve(text.size());
    if (encode) {
        for (const QChar ch : text) {
            const char32_t raised = char32_t(ch.unicode()) + 5;
            if (raised <= 0xFFFF && storable(char16_t(raised)))
                out += QChar(char16_t(raised));
            else
                out += u'$' + QStringLiteral("%1").arg(ch.unicode(), 4, 16, QChar(u'0')).toUpper();
        }
        return out;
    }
    const auto isHex = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'$' && i + 4 < text.size() && isHex(text.at(i + 1))
            && isHex(text.at(i + 2)) && isHex(text.at(i + 3)) && isHex(text.at(i + 4))) {
            out += QChar(char16_t(text.mid(i + 1, 4).toUInt(nullptr, 16)));
            i += 4;
            continue;
        }
        out += QChar(char16_t(text.at(i).unicode() - 5));
    }
    return out;
}

void LoadConnectionSettings(Settings &into)
{
    const QString file = configFilePath();
    const auto read = [&](const char *key) {
        // Whole values: a long path cut short would name another database file.
        return ReadProfileValue(file, QStringLiteral("con"), QString::fromLatin1(key), -1);
    };
    into.host = read("host");
    into.uid = read("uid");
    into.pwd = ShiftPassword(read("pwd"), false);
    into.db = read("db");
    into.driver = read("driver");
    into.encrypt = read("encrypt");
    into.posts_in_flight =
        ReadProfileValue(file, QStringLiteral("send"), QStringLiteral("posts_in_flight"), -1);
}

bool WriteConnectionSettings(const Settings &typed)
{
    const QString file = configFilePath();
    const auto write = [&file](const char *key, const QString &value) {
        return WriteProfileValue(file, QStringLiteral("con"), QString::fromLatin1(key), value);
    };
    // The four keys of the connection in their order, then the kind of database.
    return write("host", typed.host) && write("uid", typed.uid)
           && write("pwd", ShiftPassword(typed.pwd, true)) && write("db", typed.db)
           && write("driver", typed.driver);
}

} // namespace veltrano
