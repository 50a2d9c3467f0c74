// The record both shared-memory blocks carry, the status block (service writes, tray reads) and the
// command block (tray writes, service reads), and the names and bits they are reached by.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char kStatusBlockName[] = "Global\\Quillon_VAD{080F3A93-AC02-48d4-B1A3-0DF9178CC49A}";
inline constexpr const char kCommandBlockName[] = "Global\\Quillon_VAD{127DD4F7-4E72-48a8-B4C7-53D663CBCD82}";

inline constexpr std::uint32_t kSharedBlockSize = 204;
inline constexpr std::size_t kSharedTextSize = 64;

// Access masks the wrappers are constructed with (generic-rights bits).
inline constexpr std::uint32_t kAccessGenericRead = 0x80000000u;
inline constexpr std::uint32_t kAccessGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kAccessGenericAll = 0x10000000u;
inline constexpr std::uint32_t kCommandBlockServiceAccess = 0xD0000000u;  // read, write, all
inline constexpr std::uint32_t kReadWriteAccess = 0xC0000000u;             // read, write
inline constexpr std::uint32_t kReadOnlyAccess = 0x80000000u;              // read

// State flags word.
inline constexpr std::uint32_t kStateConsoleConnected = 0x1;
// Settings word.
inline constexpr std::uint32_t kSettingEnable = 0x1;
inline constexpr std::uint32_t kSettingLatency = 0x2;

inline constexpr const char kNoConsoleText[] = "No Quillon Connected";
inline constexpr const char kVersionPrefix[] = "App Version: ";

struct QuillonSharedBlock {
    std::uint32_t stateFlags;
    std::uint32_t settings;
    std::uint32_t heartbeat;
    char consoleDescription[kSharedTextSize];
    char firmwareText[kSharedTextSize];
    char serviceVersion[kSharedTextSize];
};
static_assert(sizeof(QuillonSharedBlock) == kSharedBlockSize);
static_assert(offsetof(QuillonSharedBlock, stateFlags) == 0);
static_assert(offsetof(QuillonSharedBlock, settings) == 4);
static_assert(offsetof(QuillonSharedBlock, heartbeat) == 8);
static_assert(offsetof(QuillonSharedBlock, consoleDescription) == 12);
static_assert(offsetof(QuillonSharedBlock, firmwareText) == 76);
static_assert(offsetof(QuillonSharedBlock, serviceVersion) == 140);

// Writes `text` into a 64-byte field: at most 63 characters, the rest of the first 63 bytes zero; the
// 64th byte is never written, so a field that was zero-filled stays terminated.
void WriteSharedText(char (&field)[kSharedTextSize], const char* text);

// Reads a field written by the other program: never past the field, even when it is not terminated.
// `out` receives at most 64 characters and a terminating zero.
void ReadSharedText(const char (&field)[kSharedTextSize], char (&out)[kSharedTextSize + 1]);
