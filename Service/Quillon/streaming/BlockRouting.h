// The copying half of the two routings between the console's frames and the virtual driver's stream
// buffers, as pure functions over views of the driver slots: no waits, no events, no counters. Capture
// splits a console block into the capture streams a model uses; render merges the playback streams'
// stereo pairs into the console's render channels. Neither reads or writes outside the console block or
// a driver half, and neither allocates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Service/Quillon/vdriver/VirtualDriverChannel.h"

class CUSBDevice;

// Samples of the routing's stack scratch: no stream takes more than this from one block.
inline constexpr std::uint32_t kRouteScratchSamples = 8192;

// What the routing needs of one driver stream: its buffer (both halves), its channel count and the
// driver's position word. A slot whose open failed has no buffer and is skipped.
struct RouteSlot {
    float* m_pBuffer = nullptr;
    std::uint32_t m_nLength = 0;  // samples, both halves
    std::uint32_t m_nChannels = 0;
    std::uint32_t* m_pPosition = nullptr;  // the driver moves it while we read: atomic loads only

    bool Usable(std::uint32_t width) const {
        return m_pBuffer && m_nLength >= 2 && m_nChannels == width && m_pPosition;
    }
    // The half the driver's position is in (0 or 1).
    std::uint32_t PositionHalf() const {
        return std::atomic_ref<std::uint32_t>(*m_pPosition).load(std::memory_order_acquire) >= m_nLength / 2 ? 1u
                                                                                                             : 0u;
    }
};

// The view of a driver slot: empty unless the slot is open with a buffer, a length and a status area whose
// position word is aligned (a misaligned word could not be read atomically).
RouteSlot MakeRouteSlot(const DriverStreamSlot& slot);

inline constexpr int kCaptureStreams = 11;  // streams 0 to 10

// Two adjacent console channels (a column) and where they go: a stereo stream that starts on the even
// channel, or one mono stream per channel, either of which may be absent.
struct CaptureColumn {
    enum Kind : std::uint8_t { kNone, kStereo, kMonoBoth, kMonoEven, kMonoOdd };
    static constexpr std::size_t kKinds = 5;
    Kind kind = kNone;
    float* out[2] = {};  // kStereo: out[0]; mono: the even channel's stream, the odd one's
};

// The capture streams of a block laid out over its columns, for one driver half. Every stream can take
// part in one pass over the block when each stereo stream starts on an even channel and every stream
// takes all of the block's frames (`possible`). Columns from 0 up to the last one used: 17 channels at
// most (every capture stream) make 9.
struct CapturePlan {
    static constexpr std::uint32_t kMaxColumns = 10;
    CaptureColumn columns[kMaxColumns];
    std::uint32_t count = 0;
    bool possible = true;
    // Per column pair: how many frames from the first have the pair's four channels inside the block (the
    // pin's last pair may reach past the last frame's end).
    std::uint32_t whole[kMaxColumns / 2] = {};

    void Add(std::uint32_t channel, std::uint32_t width, std::uint32_t n, std::uint32_t frames, float* out);
    // Sets `whole` for a block of `samples` samples, `channels` a frame.
    void Bound(std::uint32_t samples, std::uint16_t channels);
};

// Capture: console channels, in stream order, into the half of each used capture stream (0 to 10) the
// driver's position is in. Stream 0 is always routed; without a model every stream is. Returns the number
// of streams written.
//
// A flow keeps one route from block to block: the layout of its streams over the console's channels is
// worked out again only when the model, the block's size or a driver slot changes, and a block then
// costs one position read and the copies (the layout took as long as copying a short block).
class CCaptureRoute {
public:
    std::uint32_t Route(const float* block, std::uint32_t samples, std::uint16_t channels, const CUSBDevice* model,
                        const RouteSlot* slots /* 16 */);

private:
    void Prepare(std::uint32_t samples, std::uint16_t channels, const CUSBDevice* model, const RouteSlot* slots);

    // What the plans were made for.
    bool m_bPrepared = false;
    const CUSBDevice* m_pModel = nullptr;
    std::uint32_t m_nSamples = 0;
    std::uint16_t m_nChannels = 0;
    RouteSlot m_Slots[kCaptureStreams];
    // One plan per driver half; the stream whose position word decides between them.
    CapturePlan m_Plans[2];
    int m_nPositionStream = -1;
    std::uint32_t m_nRouted = 0;
};

// A route used for one block.
std::uint32_t RouteCaptureFrames(const float* block, std::uint32_t samples, std::uint16_t channels,
                                 const CUSBDevice* model, const RouteSlot* slots /* 16 */);

// Render: each playback stream's (11 to 15) pair, from the half the position is not in, into the console
// channels of the render offset table. A pair whose stream is not open gets silence. Returns the number
// of streams read.
std::uint32_t RouteRenderFrames(float* block, std::uint32_t samples, std::uint16_t channels,
                                const RouteSlot* slots /* 16 */);
