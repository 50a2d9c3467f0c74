// The HID class driver's user-mode interface (hid.dll): HidD_* and HidP_* with the SDK's records.
#pragma once

#include "platform/sim/include/simwin/types.h"

using NTSTATUS = LONG;
using USAGE = USHORT;

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
using PHIDD_ATTRIBUTES = HIDD_ATTRIBUTES*;

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
using PHIDP_CAPS = HIDP_CAPS*;

struct HIDP_PREPARSED_DATA_;  // opaque
using PHIDP_PREPARSED_DATA = HIDP_PREPARSED_DATA_*;

#define FACILITY_HID_ERROR_CODE 0x11
#define HIDP_ERROR_CODES(SEV, CODE) \
    (static_cast<NTSTATUS>((static_cast<ULONG>(SEV) << 28) | (FACILITY_HID_ERROR_CODE << 16) | (CODE)))
#define HIDP_STATUS_SUCCESS (HIDP_ERROR_CODES(0x0, 0))
#define HIDP_STATUS_INVALID_PREPARSED_DATA (HIDP_ERROR_CODES(0xC, 1))

void HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
BOOLEAN HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities);

static_assert(sizeof(HIDD_ATTRIBUTES) == 12 && offsetof(HIDD_ATTRIBUTES, VersionNumber) == 8);
static_assert(sizeof(HIDP_CAPS) == 64 && offsetof(HIDP_CAPS, OutputReportByteLength) == 6);
