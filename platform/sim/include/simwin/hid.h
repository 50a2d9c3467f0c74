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
#define HIDP_STATUS_BUFFER_TOO_SMALL (HIDP_ERROR_CODES(0xC, 7))

enum HIDP_REPORT_TYPE { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 };

struct HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin;
    LONG LogicalMax;
    LONG PhysicalMin;
    LONG PhysicalMax;
    struct {
        USAGE UsageMin;
        USAGE UsageMax;
        USHORT StringMin;
        USHORT StringMax;
        USHORT DesignatorMin;
        USHORT DesignatorMax;
        USHORT DataIndexMin;
        USHORT DataIndexMax;
    } Range;  // the SDK's union of Range and NotRange, which share this layout
};
using PHIDP_VALUE_CAPS = HIDP_VALUE_CAPS*;

void HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
BOOLEAN HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities);
NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE ReportType, PHIDP_VALUE_CAPS ValueCaps, USHORT* ValueCapsLength,
                           PHIDP_PREPARSED_DATA PreparsedData);
BOOLEAN HidD_FlushQueue(HANDLE HidDeviceObject);

static_assert(sizeof(HIDD_ATTRIBUTES) == 12 && offsetof(HIDD_ATTRIBUTES, VersionNumber) == 8);
static_assert(sizeof(HIDP_CAPS) == 64 && offsetof(HIDP_CAPS, OutputReportByteLength) == 6);
static_assert(sizeof(HIDP_VALUE_CAPS) == 72 && offsetof(HIDP_VALUE_CAPS, ReportID) == 2 &&
              offsetof(HIDP_VALUE_CAPS, BitSize) == 18 && offsetof(HIDP_VALUE_CAPS, UnitsExp) == 32 &&
              offsetof(HIDP_VALUE_CAPS, Range) == 56);
