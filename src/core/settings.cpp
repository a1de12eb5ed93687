// The process-wide settings record.
#include "core/settings.h"

namespace veltrano {

SharedSettings &gobal()
{
    static SharedSettings settings;
    return settings;
}

} // namespace veltrano
