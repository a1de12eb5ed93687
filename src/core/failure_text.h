// A fixed failure text followed by its cause, as one line for both the message box and the log.
#pragma once

#include <QString>

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

} // namespace veltrano
