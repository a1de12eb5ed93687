// The last step of a program whose own objects are all gone.
#pragma once

#include <cstdio>

#ifdef _WIN32
#include <qt_windows.h>
#endif

namespace veltrano {

// Returns `code` for main() to return. On Windows it ends the process here instead: exiting runs
// every DLL's detach code, and with MinGW's runtime libstdc++'s detach can wait for ever on a lock
// of the threads library (seen under Wine after a --service start that failed and after a --once
// whose token could not be had). Everything the program writes is closed and flushed by then, so
// skipping the detach loses nothing, and an unattended --once or --service always ends.
inline int endProcess(int code)
{
    std::fflush(nullptr);
#ifdef _WIN32
    ::TerminateProcess(::GetCurrentProcess(), UINT(code));
#endif
    return code;
}

} // namespace veltrano
