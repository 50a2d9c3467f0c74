// The diagnostics view: a third named shared block, written only by the service's supervisor loop and
// readable by interactive users (the status block's access rules). It tells an engineer on the PC what
// the bridge is doing: its state, the negotiated formats, and per driver stream the clocks' drift, the
// added latency, the slips and the driver's late and missed events, counted since the bridge opened.
//
// The record starts with its size and version: a reader takes only the version it knows, in a record
// at least as large as that version's (a later version gets a new number, which such a reader refuses). The writer publishes under a sequence
// word (odd while it writes); a reader copies the record and keeps the copy only when the sequence was
// even and unchanged around the copy.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char kDiagnosticsBlockName[] = "Global\\Quillon_VAD_Diagnostics{5C1E7A2B-9D44-4F0B-8E3A-6B2D1F907C15}";
inline constexpr std::uint32_t kDiagnosticsVersion = 1;
inline constexpr std::uint32_t kDiagnosticsPaths = 16;

enum class EDiagBridgeState : std::uint32_t {
    NoConsole = 0,  // no bridge: no console, bridging off ("Bypass"), or the driver absent
    Opening = 1,    // the bridge's devices run, the transfer gate is still closed
    Streaming = 2,  // audio flows
};

enum class EDiagPathState : std::uint32_t {
    Unused = 0,      // not routed: the model does not use the stream, or the driver has not opened it
    Copy = 1,        // sample for sample (the clocks agree, or drift correction is off)
    Locking = 2,     // drift measured, the resampler is settling on it
    Resampling = 3,  // drift corrected by the resampler
};

// A pin's negotiated format.
struct DiagFormat {
    std::uint16_t channels;
    std::uint16_t containerBits;  // 16, 24 or 32
    std::uint16_t validBits;
    std::uint16_t looped;  // 1: real-time (looped) buffer; 0: standard streaming; 0 when no pin
};
static_assert(sizeof(DiagFormat) == 8);

struct DiagPathRecord {
    std::uint32_t stream;              // virtual stream 0 to 15 (0-10 capture, 11-15 playback)
    std::uint32_t state;               // EDiagPathState
    std::uint32_t channels;            // the stream's width: 1 or 2 (0 when unused)
    std::int32_t driftPpb;             // console clock against the driver's, parts per billion (+: console faster)
    std::uint32_t addedLatencyFrames;  // frames the drift correction holds beyond the sample-for-sample copy
    std::uint32_t slips;               // driver periods dropped or repeated
    std::uint32_t lateEvents;          // driver events that came, but after the period they announce had begun
    std::uint32_t missedEvents;        // waits on the driver's event that timed out
    std::uint64_t frames;              // frames moved since the bridge opened
    std::uint32_t reserved[2];
};
static_assert(sizeof(DiagPathRecord) == 48);
static_assert(offsetof(DiagPathRecord, driftPpb) == 12);
static_assert(offsetof(DiagPathRecord, frames) == 32);

struct DiagnosticsRecord {
    std::uint32_t size;      // sizeof(DiagnosticsRecord) of the writer's version
    std::uint32_t version;   // kDiagnosticsVersion
    std::uint32_t sequence;  // odd while the writer rewrites the record
    std::uint32_t bridgeState;        // EDiagBridgeState
    std::uint32_t sampleRate;         // 48000 while a bridge is open, else 0
    std::uint32_t periodFrames;       // the driver's period (half its buffer), frames
    std::uint32_t latencyMultiplier;  // 2 ("Ultra-low") or 4 ("Low")
    std::uint32_t driftCorrection;    // the "DriftCorrection" setting: 1 on, 0 off
    DiagFormat capture;
    DiagFormat render;
    char model[32];                   // "Quillon Alto", "Quillon Basso", or empty; always terminated
    std::uint64_t bridgeOpenedMs;     // GetTickCount64 when the bridge opened (0: none)
    std::uint64_t captureBlocks;      // console blocks routed since the bridge opened
    std::uint64_t renderBlocks;
    std::uint64_t driverAnswers;      // driver events the routing received
    std::uint32_t lockMs;             // from the bridge opening to the resampler's lock (0: not locked)
    std::uint32_t pathCount;          // kDiagnosticsPaths
    DiagPathRecord paths[kDiagnosticsPaths];
};
static_assert(offsetof(DiagnosticsRecord, capture) == 32);
static_assert(offsetof(DiagnosticsRecord, model) == 48);
static_assert(offsetof(DiagnosticsRecord, bridgeOpenedMs) == 80);
static_assert(offsetof(DiagnosticsRecord, lockMs) == 112);
static_assert(offsetof(DiagnosticsRecord, paths) == 120);
static_assert(sizeof(DiagnosticsRecord) == 120 + 16 * 48);
