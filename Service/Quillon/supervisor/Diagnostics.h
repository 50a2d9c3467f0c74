// The diagnostics view's writing side: a snapshot of what the supervisor knows about the bridge, the
// record built from it (a pure function, so tests drive it without threads), and the publication of a
// record into the shared block under its sequence word.
#pragma once

#include <cstdint>

#include "Service/Quillon/streaming/BridgeFigures.h"
#include "Service/common/DiagnosticsBlock.h"

inline constexpr std::uint32_t kDiagSampleRate = 48000;
inline constexpr std::uint32_t kDiagFirstRenderStream = 11;

// One direction of the bridge: its routing's figures, whether it has a console device, and the frames
// of one console block.
struct DiagFlowSnapshot {
    bool hasDevice = false;
    std::uint32_t blockFrames = 0;
    std::uint32_t state = 0;  // EDiagPathState as the routing reports it (0 before it measures anything)
    std::int32_t driftPpb = 0;
    std::uint32_t addedLatencyFrames = 0;
    std::uint32_t slips = 0;
    std::uint32_t lateEvents = 0;
    std::uint32_t missedEvents = 0;
    std::uint64_t blocks = 0;
    std::uint32_t lockMs = 0;
};

struct DiagSnapshot {
    EDiagBridgeState bridgeState = EDiagBridgeState::NoConsole;
    std::uint32_t periodFrames = 0;
    std::uint32_t latencyMultiplier = 2;
    std::uint32_t driftCorrection = 1;
    DiagFormat capture{};
    DiagFormat render{};
    const char* model = nullptr;  // the model's display name, or null
    std::uint64_t bridgeOpenedMs = 0;
    std::uint64_t driverAnswers = 0;
    DiagFlowSnapshot captureFlow;
    DiagFlowSnapshot renderFlow;
    std::uint32_t streamChannels[kDiagnosticsPaths] = {};  // the driver slot's width; 0: not opened
    bool streamUsed[kDiagnosticsPaths] = {};               // the model routes the stream
};

// The routing's figures of one direction, read once each (relaxed).
DiagFlowSnapshot ReadFlowFigures(const FlowFigures& figures);

// A record with its header (size, version, path count), its paths numbered and everything else zero.
void InitDiagnosticsRecord(DiagnosticsRecord& record);

// The record the snapshot gives; its sequence word is left 0. Streams 0-10 take the capture direction's
// figures, 11-15 the render direction's. A stream is routed while a bridge is open, its direction has a
// console device, the model uses it and the driver has opened it; any other stream is Unused, with zero
// figures. A routed stream's frames are its direction's blocks times the console block's frames.
void BuildDiagnosticsRecord(const DiagSnapshot& snapshot, DiagnosticsRecord& record);

// Writes `fresh` into the shared record: the sequence word goes odd, every other field is copied, the
// word goes even again (release), so a reader that saw the same even word before and after its copy
// has a whole record. The shared record's sequence keeps counting across publications.
void PublishDiagnosticsRecord(DiagnosticsRecord& shared, const DiagnosticsRecord& fresh);
