// The logger's lines, collected as a window's log would show them.
#pragma once

#include "core/logger.h"

#include <QObject>
#include <QStringList>

#include <memory>

namespace veltrano::testsupport {

// Appends every line the logger takes to `lines` for as long as the returned object lives; keep it
// declared after `lines`, so it goes first.
[[nodiscard]] inline std::unique_ptr<QObject> collectLogLines(QStringList &lines)
{
    auto scope = std::make_unique<QObject>();
    QObject::connect(&Logger::instance(), &Logger::lineLogged, scope.get(),
                     [&lines](const QDateTime &, const QString &line) { lines << line; });
    return scope;
}

} // namespace veltrano::testsupport
