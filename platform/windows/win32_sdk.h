// The Windows SDK headers the programs use, and the few declarations mingw-w64 lacks.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
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

#include "platform/windows/ks_sdk.h"

#include <cstddef>

static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(sizeof(CRITICAL_SECTION) == 40);
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, hEvent) == 24);
static_assert(sizeof(SERVICE_STATUS) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(sizeof(WCHAR) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HANDLE) == 8);
