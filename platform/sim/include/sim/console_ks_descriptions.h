// What a simulated Kernel Streaming audio filter reports and accepts: its pins with their data ranges,
// interfaces, names and instance limits, its topology nodes and its real-time (WaveRT) abilities; and the
// wave-format arithmetic the filter and its pins share (connection requests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/include/simwin/ks.h"

namespace sim {

struct ConsolePinTapSlot;

// One KSDATARANGE_AUDIO as the pin reports it.
struct KsDataRangeSpec {
    GUID majorFormat = KSDATAFORMAT_TYPE_AUDIO;
    GUID subFormat = KSDATAFORMAT_SUBTYPE_PCM;
    GUID specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    ULONG maximumChannels = 2;
    ULONG minimumBits = 16;
    ULONG maximumBits = 24;
    ULONG minimumRate = 44100;
    ULONG maximumRate = 48000;
    // The value written into the range's FormatSize. The range always occupies 88 bytes of the block (more
    // when this is a plausible larger size, up to 1024); 0 or a size past the block make it malformed.
    ULONG formatSize = sizeof(KSDATARANGE_AUDIO);
    // Attributes (KSATTRIBUTE records naming audio signal-processing modes) listed after the range: the
    // range's Flags then carry KSDATARANGE_ATTRIBUTES and the list follows it, 8-byte aligned, as a
    // KSMULTIPLE_ITEM whose Size counts the whole list. 0: no list.
    ULONG attributes = 0;
};

// A sample layout pin creation accepts.
struct KsSampleFormat {
    WORD containerBits;
    WORD validBits;
    bool operator==(const KsSampleFormat&) const = default;
};

// How a streaming pin's data moves (the console's audio knobs).
struct KsStreamSpec {
    std::int64_t clockOrigin = 0;    // machine ticks at which the device's sample clock started (its plug)
    std::int64_t clockPpb = 0;       // how fast that clock runs against the machine's (parts per billion)
    bool sine = false;               // capture carries the sine test signal instead of the identifying one
    ULONG framesPerRead = 0;         // standard capture: frames a read takes at most (0: its FrameExtent)
    bool staleLastWord = false;      // looped capture leaves the last 32-bit word of each packet untouched
    std::size_t sinkFrames = 96000;  // render frames kept, newest first
    std::shared_ptr<ConsolePinTapSlot> tap;  // the console's pin tap (console_audio.h); may be null
};

struct KsPinSpec {
    KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_OUT;
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_SINK;
    // KSINTERFACESETID_Standard ids in the order KSPROPERTY_PIN_INTERFACES lists them; pin creation
    // accepts these only.
    std::vector<ULONG> interfaces = {KSINTERFACE_STANDARD_STREAMING};
    bool standardMedium = true;  // KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE
    std::vector<KsDataRangeSpec> ranges;
    // What creation accepts within the ranges (the driver's real formats); empty: any whole-byte layout
    // whose valid bits a range covers.
    std::vector<KsSampleFormat> sampleFormats;
    // False: creation does not hold the format to the ranges (a driver whose ranges under-report what it
    // takes); the layouts and the wave-format arithmetic are still checked.
    bool rangesBindCreation = true;
    // An extensible format must carry exactly this channel mask when set.
    std::optional<DWORD> channelMask;
    GUID category{};
    std::u16string name;
    bool nameTerminated = true;  // false: KSPROPERTY_PIN_NAME fills the caller's buffer without a NUL
    ULONG possibleInstances = 1;
    ULONG globalPossibleInstances = 1;
    KsStreamSpec stream;
};

// KSPROPSETID_RtAudio as a looped pin answers it.
struct KsRtSpec {
    bool notifications = true;   // KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION and the event properties
    bool writePacket = true;     // KSPROPERTY_RTAUDIO_SETWRITEPACKET (absent: ERROR_NOT_FOUND)
    bool readPacket = true;      // KSPROPERTY_RTAUDIO_GETREADPACKET (absent: ERROR_NOT_FOUND)
    bool packetCount = true;     // KSPROPERTY_RTAUDIO_PACKETCOUNT (absent: ERROR_NOT_FOUND)
    // Once a write packet was reported, the hardware stops at the end of the last one reported: a later
    // packet plays as silence until the next report (as a driver may do); false: it plays the buffer.
    bool stopAtLastWritePacket = true;
    ULONG maximumBufferSize = 1 << 20;
    // A requested size that is not two whole packets of whole frames is refused (ERROR_INVALID_PARAMETER)
    // rather than rounded down.
    bool wholePacketsOnly = false;
};

struct KsFilterSpec {
    std::vector<KsPinSpec> pins;
    std::vector<GUID> nodes;  // KSPROPERTY_TOPOLOGY_NODES
    KsRtSpec rt;
};

// The wave format of a connection request, as a driver reads it.
struct KsWaveFormat {
    WORD tag = 0;
    WORD channels = 0;
    DWORD rate = 0;
    WORD containerBits = 0;
    WORD validBits = 0;
    WORD blockAlign = 0;
    DWORD avgBytesPerSecond = 0;
    DWORD channelMask = 0;
    GUID subFormat{};
};

inline bool IsFloat(const KsWaveFormat& f) { return f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; }

// A parsed KsCreatePin request.
struct KsConnectRequest {
    ULONG pinId = 0;
    ULONG interfaceId = 0;
    bool standardInterface = false;
    bool standardMedium = false;
    KsWaveFormat format;
};

// Reads KSPIN_CONNECT and the KSDATAFORMAT/wave format behind it (sized by its FormatSize). NO_ERROR, or
// ERROR_INVALID_PARAMETER for a request that does not hold together, ERROR_NO_MATCH for a data format that
// is not PCM audio with a wave format.
DWORD ParseConnectRequest(const void* connect, KsConnectRequest* request);
// Whether one range covers the format (major/sub-type/specifier, channels, valid bits, rate).
bool RangeCovers(const KsDataRangeSpec& range, const KsWaveFormat& format);
// Whether a pin would create an instance for the format: a range covers it, the layout is one the pin
// takes, the arithmetic (block align, bytes per second) is right, and the mask fits.
DWORD PinAcceptsFormat(const KsPinSpec& pin, const KsWaveFormat& format);

}  // namespace sim
