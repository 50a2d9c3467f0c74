// HID devices of the simulated machine: what hid.dll's HidD_*/HidP_* calls ask a device for, and the HID
// interface class. A HID device simulation derives from sim::HidDevice and answers WriteFile (output
// reports) and ReadFile (input reports) through sim::Device::Io like any other device.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/include/sim/devices.h"

namespace sim {

// {4D1E55B2-F16F-11CF-88CB-001111000030}
inline constexpr GUID kHidInterfaceClass = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}: the HIDClass setup class
inline constexpr GUID kHidSetupClass = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

class HidDevice : public Device {
public:
    struct Identity {
        USHORT vendorId = 0;
        USHORT productId = 0;
        USHORT versionNumber = 0;
        std::u16string serial;  // as the device's string descriptor holds it
        USHORT inputReportLength = 0;
        USHORT outputReportLength = 0;
        USHORT usagePage = 0xFF00;  // the top-level collection's
        USHORT usage = 1;
        // Report ids of the collection's value reports (each a byte array of the report's length).
        std::vector<BYTE> inputReports;
        std::vector<BYTE> outputReports;
    };
    // What the HID class driver learned from the device when it started; false fails the call.
    virtual bool HidIdentity(Identity* identity) = 0;
    // HidD_FlushQueue: drops the input reports queued for this open handle.
    virtual void FlushInput(File&) {}
};

// Preparsed-data blocks handed out by HidD_GetPreparsedData and not yet freed (all machines).
long LivePreparsedData();

// A HID device of some other product: a node below `parentInstanceId` (or the root) with its HID
// interface, answering the identity calls and nothing else. For tests of the console's HID lookup.
void AddOtherHidDevice(Machine& machine, const std::string& instanceId, const GUID& containerId,
                       USHORT vendorId = 0x046d, USHORT productId = 0xc52b);

}  // namespace sim
