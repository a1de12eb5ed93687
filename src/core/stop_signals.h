// The signals that ask a running program to end (a logout, a shutdown, systemd, Ctrl+C).
#pragma once

#include <QObject>

#include <functional>

namespace veltrano {

// Calls `onStop` on the event loop's thread of `owner` when SIGTERM or SIGINT arrives, for as long
// as `owner` lives. Where the platform has no such signals, nothing is watched.
void watchStopSignals(QObject *owner, std::function<void()> onStop);

} // namespace veltrano
