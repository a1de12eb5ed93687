// Failure texts: a fixed text followed by its cause, and the cause an exception carries.
#pragma once

#include <QString>

#include <exception>

namespace veltrano {

// The fixed text stays as it is, so the user recognises it; the cause after it (a driver's or
// libcurl's own message, or the reason) says what to fix. Line breaks in the cause are folded into
// blanks, so it can never start a line of its own in the log.
inline QString failureText(const QString &fixed, const QString &cause)
{
    QString folded = cause;
    folded.replace(QLatin1String("\r\n"), QLatin1String(" "));
    folded.replace(QLatin1Char('\r'), QLatin1Char(' '));
    folded.replace(QLatin1Char('\n'), QLatin1Char(' '));
    folded = folded.trimmed();
    return folded.isEmpty() ? fixed : fixed + folded;
}

// What an exception says, as the program's text (every exception of the program speaks UTF-8).
inline QString causeOf(const std::exception &e)
{
    return QString::fromUtf8(e.what());
}

} // namespace veltrano
