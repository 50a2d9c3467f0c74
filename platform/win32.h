// The one header product code includes for the Windows interfaces it uses.
// On Windows it is the SDK (mingw-w64); elsewhere the simulated machine's declarations of the same subset.
#pragma once

#if defined(_WIN32)
#include "platform/windows/win32_sdk.h"
#define WSTR(text) L##text
#else
#include "platform/sim/include/simwin/simwin.h"
#define WSTR(text) u##text
#endif

// Process-wide state of the running program: created before the program entry runs (by static
// initialisation on Windows, by the simulated machine when it starts the program) and gone when the
// program's process ends.
template <class T>
T& ProcessGlobal();

#if defined(_WIN32)
template <class T>
inline T g_processGlobal{};
template <class T>
T& ProcessGlobal() {
    return g_processGlobal<T>;
}
#else
#include "platform/sim/include/sim/machine.h"
template <class T>
T& ProcessGlobal() {
    return sim::ProcessState<T>();
}
#endif
