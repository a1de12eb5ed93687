// The send service with no window and no display: --service and --once.
#pragma once

namespace veltrano {

class SharedSettings;

enum class HeadlessMode {
    Service, // starts as "启动服务" does and sends on the schedule until SIGTERM or SIGINT
    Once,    // one batch now, then the program ends
};

// Exit codes of the headless modes.
inline constexpr int kExitOk = 0;     // ran (WeChat may still have refused messages)
inline constexpr int kExitFailed = 1; // could not start or could not run; the reason is on stderr

// Runs in a QCoreApplication the caller has made (so no platform plugin loads) and returns the
// exit code. Log lines go to standard output and to the daily log file; reasons to stop go to
// standard error. `live` holds the program's settings.
int runHeadless(HeadlessMode mode, SharedSettings &live);

} // namespace veltrano
