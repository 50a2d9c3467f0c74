// The Windows SDK headers the programs use, and the few declarations mingw-w64 lacks.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The one source file that defines the interface, class and property-key identifiers sets
// QUILLON_DEFINE_GUIDS before including platform/win32.h.
#ifdef QUILLON_DEFINE_GUIDS
#include <initguid.h>
#endif
#include <windows.h>
#include <avrt.h>
#include <commctrl.h>
#include <mmsystem.h>
#include <objbase.h>
#include <process.h>
#include <sddl.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winioctl.h>
#include <devguid.h>
#include <devpkey.h>
#include <propidl.h>
#include <mmdeviceapi.h>
#include <endpointvolume.h>
#include <devicetopology.h>
#include <functiondiscoverykeys_devpkey.h>
extern "C" {
#include <hidsdi.h>
}

// Absent from mingw-w64: the property-store form of the device container identifier.
DEFINE_PROPERTYKEY(PKEY_Device_ContainerId, 0x8c7ed206, 0x3f8a, 0x4827, 0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc,
                   0x6c, 2);

// Absent from mingw-w64's winerror.h: what a request on a handle to a device that went away may fail with.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

#include "platform/windows/ks_sdk.h"

#include <cstddef>

static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(sizeof(CRITICAL_SECTION) == 40);
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24);
static_assert(sizeof(SERVICE_STATUS) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(sizeof(WCHAR) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HANDLE) == 8);
