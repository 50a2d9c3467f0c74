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

#include "platform/policy_config.h"

#include <cstddef>

// Records shared with hid.dll and the property system: the Windows x64 layouts, in both builds.
static_assert(sizeof(HIDD_ATTRIBUTES) == 12 && offsetof(HIDD_ATTRIBUTES, VendorID) == 4 &&
              offsetof(HIDD_ATTRIBUTES, ProductID) == 6 && offsetof(HIDD_ATTRIBUTES, VersionNumber) == 8);
static_assert(sizeof(HIDP_CAPS) == 64 && offsetof(HIDP_CAPS, InputReportByteLength) == 4 &&
              offsetof(HIDP_CAPS, OutputReportByteLength) == 6);
static_assert(sizeof(PROPVARIANT) == 24 && offsetof(PROPVARIANT, vt) == 0);
static_assert(sizeof(PROPERTYKEY) == 20 && offsetof(PROPERTYKEY, pid) == 16);

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
