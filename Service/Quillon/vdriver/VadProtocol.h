// The virtual audio driver's private control protocol: its interface class, request codes and the two
// records exchanged with it. Layouts are the driver's, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// {E4BC239C-89E0-4329-BCD5-5E00D1502E65}
inline constexpr GUID GUID_DEVINTERFACE_VAD_CONTROL = {
    0xE4BC239C, 0x89E0, 0x4329, {0xBC, 0xD5, 0x5E, 0x00, 0xD1, 0x50, 0x2E, 0x65}};

inline constexpr DWORD FILE_DEVICE_VAD = 0xED01;

constexpr DWORD VadControlCode(DWORD function) {
    return CTL_CODE(FILE_DEVICE_VAD, function, METHOD_BUFFERED, FILE_READ_DATA | FILE_WRITE_DATA);
}

inline constexpr DWORD IOCTL_VAD_CAPTURE_OPEN = VadControlCode(0xE01);
inline constexpr DWORD IOCTL_VAD_CAPTURE_CLOSE = VadControlCode(0xE02);
inline constexpr DWORD IOCTL_VAD_CAPTURE_ENABLE = VadControlCode(0xE03);
inline constexpr DWORD IOCTL_VAD_CAPTURE_DISABLE = VadControlCode(0xE04);
inline constexpr DWORD IOCTL_VAD_RENDER_OPEN = VadControlCode(0xE11);
inline constexpr DWORD IOCTL_VAD_RENDER_CLOSE = VadControlCode(0xE12);
inline constexpr DWORD IOCTL_VAD_RENDER_ENABLE = VadControlCode(0xE13);
inline constexpr DWORD IOCTL_VAD_RENDER_DISABLE = VadControlCode(0xE14);
inline constexpr DWORD IOCTL_VAD_CONTROL_REGISTER = VadControlCode(0xE21);
inline constexpr DWORD IOCTL_VAD_CONTROL_RELEASE = VadControlCode(0xE22);

static_assert(IOCTL_VAD_CAPTURE_OPEN == 0xED01F804 && IOCTL_VAD_CAPTURE_CLOSE == 0xED01F808);
static_assert(IOCTL_VAD_CAPTURE_ENABLE == 0xED01F80C && IOCTL_VAD_CAPTURE_DISABLE == 0xED01F810);
static_assert(IOCTL_VAD_RENDER_OPEN == 0xED01F844 && IOCTL_VAD_RENDER_CLOSE == 0xED01F848);
static_assert(IOCTL_VAD_RENDER_ENABLE == 0xED01F84C && IOCTL_VAD_RENDER_DISABLE == 0xED01F850);
static_assert(IOCTL_VAD_CONTROL_REGISTER == 0xED01F884 && IOCTL_VAD_CONTROL_RELEASE == 0xED01F888);

inline constexpr std::uint32_t kVadControlHeader = 0x100;
inline constexpr std::uint32_t kVadFramesPerMultiplier = 96;
inline constexpr std::uint32_t kVadSampleRate = 48000;

// Registered once per period setting: the five synchronisation events and the buffer length.
struct VAD_CONTROL_BLOCK {
    std::uint32_t Header;           // 0x100
    std::uint32_t Reserved0;
    std::uint64_t Event1;           // set after a period of capture audio was written
    std::uint64_t Event2;           // the driver: capture half ready to be written
    std::uint64_t Event3;           // set after a period of render audio was read
    std::uint64_t Event4;           // the driver: render half ready to be read
    std::uint64_t Event5;           // the driver's notifications
    std::uint32_t BufferFrames;     // 96 x latency multiplier; 0 while not registered
    std::uint32_t Reserved1;
    std::uint64_t StatusAddress;    // from the driver
};
static_assert(sizeof(VAD_CONTROL_BLOCK) == 64);
static_assert(offsetof(VAD_CONTROL_BLOCK, Event1) == 8 && offsetof(VAD_CONTROL_BLOCK, Event5) == 40);
static_assert(offsetof(VAD_CONTROL_BLOCK, BufferFrames) == 48 && offsetof(VAD_CONTROL_BLOCK, StatusAddress) == 56);

// Input and output of a stream open request.
struct VAD_STREAM_OPEN_BLOCK {
    std::uint32_t LocalIndex;       // 0-10 capture, 0-4 render
    std::uint32_t Reserved0;
    std::uint64_t SlotEvent;
    std::uint32_t SampleRate;       // 48000
    std::uint32_t Channels;         // 1 or 2
    std::uint64_t BufferAddress;    // from the driver: float samples, two halves
    std::uint32_t BufferLength;     // from the driver: samples (frames x channels), both halves
    std::uint32_t Reserved1;
    std::uint64_t StatusAddress;    // from the driver: the u32 at byte 4 is the position in samples
};
static_assert(sizeof(VAD_STREAM_OPEN_BLOCK) == 48);
static_assert(offsetof(VAD_STREAM_OPEN_BLOCK, SlotEvent) == 8 && offsetof(VAD_STREAM_OPEN_BLOCK, SampleRate) == 16);
static_assert(offsetof(VAD_STREAM_OPEN_BLOCK, Channels) == 20 && offsetof(VAD_STREAM_OPEN_BLOCK, BufferAddress) == 24);
static_assert(offsetof(VAD_STREAM_OPEN_BLOCK, BufferLength) == 32 &&
              offsetof(VAD_STREAM_OPEN_BLOCK, StatusAddress) == 40);

// Byte offset of the position (or notification) word in a driver status area.
inline constexpr std::size_t kVadStatusPositionOffset = 4;

// Stream indices: 0-10 the driver's capture streams, 11-15 its render streams.
inline constexpr int kVirtualStreamCount = 16;
inline constexpr int kFirstRenderStream = 11;

constexpr bool IsCaptureStream(int index) { return index < kFirstRenderStream; }
constexpr std::uint32_t DriverLocalIndex(int index) {
    return static_cast<std::uint32_t>(IsCaptureStream(index) ? index : index - kFirstRenderStream);
}
constexpr std::uint32_t StreamChannelCount(int index) {
    return ((index >= 1 && index <= 4) || index == 10) ? 1u : 2u;
}
