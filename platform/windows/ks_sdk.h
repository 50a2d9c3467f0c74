// Kernel Streaming on Windows: the SDK headers in the order mingw-w64 needs (mmsystem and mmreg before
// ksmedia, or the extensible wave format and the IEEE-float sub-type are missing), and what mingw-w64
// lacks: the WaveRT records and ids, the buffer-duration set and the KsCreatePin2 prototype.
// The KS GUIDs are extern; the link takes them from libksuser. The device property keys (devpkey.h, which
// has no include guard and is included once, by win32_sdk.h) are defined by the one source file that
// includes platform/win32.h with QUILLON_DEFINE_GUIDS.
#pragma once

#include <mmsystem.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

#include <cstddef>

#include "platform/ks_wavert.h"

// Exported by ksuser.dll (libksuser.a); the programs bind it at run time.
extern "C" __declspec(dllimport) HRESULT WINAPI KsCreatePin2(HANDLE FilterHandle, PKSPIN_CONNECT Connect,
                                                             ACCESS_MASK DesiredAccess, PHANDLE ConnectionHandle);

static_assert(sizeof(WAVEFORMATEX) == 18 && offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 &&
              offsetof(WAVEFORMATEX, nBlockAlign) == 12 && offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 && offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(KSIDENTIFIER) == 24 && offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20);
static_assert(sizeof(KSP_PIN) == 32 && offsetof(KSP_PIN, PinId) == 24 && offsetof(KSP_PIN, Reserved) == 28);
static_assert(sizeof(KSP_NODE) == 32 && offsetof(KSP_NODE, NodeId) == 24);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8 && offsetof(KSMULTIPLE_ITEM, Count) == 4);
static_assert(sizeof(KSPIN_CINSTANCES) == 8);
static_assert(sizeof(KSDATAFORMAT) == 64 && offsetof(KSDATAFORMAT, SampleSize) == 8 &&
              offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, SubFormat) == 32 &&
              offsetof(KSDATAFORMAT, Specifier) == 48);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88 && offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
              offsetof(KSDATARANGE_AUDIO, MinimumBitsPerSample) == 68 &&
              offsetof(KSDATARANGE_AUDIO, MaximumBitsPerSample) == 72 &&
              offsetof(KSDATARANGE_AUDIO, MinimumSampleFrequency) == 76 &&
              offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82 && offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64);
static_assert(sizeof(KSPIN_CONNECT) == 72 && offsetof(KSPIN_CONNECT, Medium) == 24 &&
              offsetof(KSPIN_CONNECT, PinId) == 48 && offsetof(KSPIN_CONNECT, PinToHandle) == 56 &&
              offsetof(KSPIN_CONNECT, Priority) == 64);
static_assert(sizeof(KSTIME) == 16);
static_assert(sizeof(KSSTREAM_HEADER) == 56 && offsetof(KSSTREAM_HEADER, TypeSpecificFlags) == 4 &&
              offsetof(KSSTREAM_HEADER, PresentationTime) == 8 && offsetof(KSSTREAM_HEADER, Duration) == 24 &&
              offsetof(KSSTREAM_HEADER, FrameExtent) == 32 && offsetof(KSSTREAM_HEADER, DataUsed) == 36 &&
              offsetof(KSSTREAM_HEADER, Data) == 40 && offsetof(KSSTREAM_HEADER, OptionsFlags) == 48);
static_assert(sizeof(KSAUDIO_POSITION) == 16 && offsetof(KSAUDIO_POSITION, WriteOffset) == 8);
static_assert(sizeof(KSSTATE) == 4 && sizeof(KSPIN_DATAFLOW) == 4 && sizeof(KSPIN_COMMUNICATION) == 4);
static_assert(IOCTL_KS_PROPERTY == 0x002F0003 && IOCTL_KS_WRITE_STREAM == 0x002F8013 &&
              IOCTL_KS_READ_STREAM == 0x002F4017);
