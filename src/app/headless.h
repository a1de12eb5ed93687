// The send service with no window and no display: --service and --once.
#pragma once

#include "app/command_line.h"

namespace veltrano {

class SharedSettings;

enum class HeadlessMode {
    Service, // starts as "启动服务" does and sends on the schedule until SIGTERM or SIGINT
    Once,    // one batch now, then the program ends
};

// Runs in a QCoreApplication the caller has made (so no platform plugin loads) and returns the
// exit code. Log lines go to standard output and to the daily log file; reasons to stop go to
// standard error (see consoleOptions). --once ends with kExitNothingSent when rows were due and
// none got an answer or a local error text. `live` holds the program's settings.
int runHeadless(HeadlessMode mode, SharedSettings &live);

// Creates the SQLite queue config.ini names, with its schema, and says where; the exit code.
int initDatabase();

} // namespace veltrano
