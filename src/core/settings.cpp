// The parsers every reader of a stored setting shares.
#include "core/settings.h"

#include <cmath>

namespace veltrano {

std::optional<int> wholeNumber(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<TokenMode> tokenMode(const QString &text)
{
    bool ok = false;
    const double number = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return std::nullopt;
    if (number == 1)
        return TokenMode::Direct;
    if (number == 3)
        return TokenMode::Stable;
    return TokenMode::Central;
}

} // namespace veltrano
