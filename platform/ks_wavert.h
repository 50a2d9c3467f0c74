// The WaveRT (KSPROPSETID_RtAudio) records and property ids, and the driver's buffer-duration property set:
// declared once for both builds, from Microsoft's public documentation, because the mingw-w64 headers of
// the Windows build do not have them. Included after the KS declarations of the platform (KSPROPERTY,
// GUID, HANDLE, BOOL).
#pragma once

#include <cstddef>

// Ids of KSPROPSETID_RtAudio. The SDK's KSPROPERTY_RTAUDIO enum names them; the mingw-w64 enum stops at
// KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION (0), so the others are constants of the same names.
inline constexpr ULONG KSPROPERTY_RTAUDIO_BUFFER = 1;
inline constexpr ULONG KSPROPERTY_RTAUDIO_HWLATENCY = 2;
inline constexpr ULONG KSPROPERTY_RTAUDIO_POSITIONREGISTER = 3;
inline constexpr ULONG KSPROPERTY_RTAUDIO_CLOCKREGISTER = 4;
inline constexpr ULONG KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION = 5;
inline constexpr ULONG KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT = 6;
inline constexpr ULONG KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT = 7;
inline constexpr ULONG KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT = 8;
inline constexpr ULONG KSPROPERTY_RTAUDIO_PACKETCOUNT = 9;
inline constexpr ULONG KSPROPERTY_RTAUDIO_PRESENTATION_POSITION = 10;
inline constexpr ULONG KSPROPERTY_RTAUDIO_GETREADPACKET = 11;
inline constexpr ULONG KSPROPERTY_RTAUDIO_SETWRITEPACKET = 12;
inline constexpr ULONG KSPROPERTY_RTAUDIO_PACKETVREGISTER = 13;

struct KSRTAUDIO_BUFFER_PROPERTY {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
};
using PKSRTAUDIO_BUFFER_PROPERTY = KSRTAUDIO_BUFFER_PROPERTY*;

struct KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
    ULONG NotificationCount;
};
using PKSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION = KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION*;

struct KSRTAUDIO_BUFFER {
    PVOID BufferAddress;
    ULONG ActualBufferSize;
    BOOL CallMemoryBarrier;
};
using PKSRTAUDIO_BUFFER = KSRTAUDIO_BUFFER*;

struct KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY {
    KSPROPERTY Property;
    HANDLE NotificationEvent;
};
using PKSRTAUDIO_NOTIFICATION_EVENT_PROPERTY = KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY*;

struct KSRTAUDIO_HWREGISTER_PROPERTY {
    KSPROPERTY Property;
    PVOID BaseAddress;
};
using PKSRTAUDIO_HWREGISTER_PROPERTY = KSRTAUDIO_HWREGISTER_PROPERTY*;

struct KSRTAUDIO_HWREGISTER {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
};
using PKSRTAUDIO_HWREGISTER = KSRTAUDIO_HWREGISTER*;

struct KSRTAUDIO_HWLATENCY {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
};
using PKSRTAUDIO_HWLATENCY = KSRTAUDIO_HWLATENCY*;

struct KSRTAUDIO_GETREADPACKET_INFO {
    ULONG PacketNumber;
    DWORD Flags;
    ULONG64 PerformanceCounterValue;
    BOOL MoreData;
};
using PKSRTAUDIO_GETREADPACKET_INFO = KSRTAUDIO_GETREADPACKET_INFO*;

struct KSRTAUDIO_SETWRITEPACKET_INFO {
    ULONG PacketNumber;
    DWORD Flags;
    ULONG EosPacketLength;
};
using PKSRTAUDIO_SETWRITEPACKET_INFO = KSRTAUDIO_SETWRITEPACKET_INFO*;

struct KSAUDIO_PRESENTATION_POSITION {
    UINT64 u64PositionInBlocks;
    UINT64 u64QPCPosition;
};
using PKSAUDIO_PRESENTATION_POSITION = KSAUDIO_PRESENTATION_POSITION*;

// The audio driver's buffer-duration property set (not in the public headers). Id 1 is a set request
// whose 4-byte instance value is the buffer duration in milliseconds; it has no value buffer.
inline constexpr GUID KSPROPSETID_AudioBufferDuration = {
    0x4E73C07F, 0x23CC, 0x4955, {0xA7, 0xEA, 0x3D, 0xA5, 0x02, 0x49, 0x62, 0x90}};
inline constexpr ULONG KSPROPERTY_AUDIOBUFFERDURATION_MS = 1;

static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY) == 40 && offsetof(KSRTAUDIO_BUFFER_PROPERTY, BaseAddress) == 24 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY, RequestedBufferSize) == 32);
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == 40 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, RequestedBufferSize) == 32 &&
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount) == 36);
static_assert(sizeof(KSRTAUDIO_BUFFER) == 16 && offsetof(KSRTAUDIO_BUFFER, ActualBufferSize) == 8 &&
              offsetof(KSRTAUDIO_BUFFER, CallMemoryBarrier) == 12);
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == 32 &&
              offsetof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY, NotificationEvent) == 24);
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == 32 && offsetof(KSRTAUDIO_HWREGISTER_PROPERTY, BaseAddress) == 24);
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40 && offsetof(KSRTAUDIO_HWREGISTER, Width) == 8 &&
              offsetof(KSRTAUDIO_HWREGISTER, Numerator) == 16 && offsetof(KSRTAUDIO_HWREGISTER, Denominator) == 24 &&
              offsetof(KSRTAUDIO_HWREGISTER, Accuracy) == 32);
static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12);
static_assert(sizeof(KSRTAUDIO_GETREADPACKET_INFO) == 24 &&
              offsetof(KSRTAUDIO_GETREADPACKET_INFO, PerformanceCounterValue) == 8 &&
              offsetof(KSRTAUDIO_GETREADPACKET_INFO, MoreData) == 16);
static_assert(sizeof(KSRTAUDIO_SETWRITEPACKET_INFO) == 12 && offsetof(KSRTAUDIO_SETWRITEPACKET_INFO, EosPacketLength) == 8);
static_assert(sizeof(KSAUDIO_PRESENTATION_POSITION) == 16);
