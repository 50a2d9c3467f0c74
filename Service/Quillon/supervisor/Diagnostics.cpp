#include "Service/Quillon/supervisor/Diagnostics.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>

DiagFlowSnapshot ReadFlowFigures(const FlowFigures& figures) {
    constexpr auto relaxed = std::memory_order_relaxed;
    DiagFlowSnapshot flow;
    flow.state = figures.state.load(relaxed);
    flow.driftPpb = figures.driftPpb.load(relaxed);
    flow.addedLatencyFrames = figures.addedLatencyFrames.load(relaxed);
    flow.slips = figures.slips.load(relaxed);
    flow.lateEvents = figures.lateEvents.load(relaxed);
    flow.missedEvents = figures.missedEvents.load(relaxed);
    flow.blocks = figures.blocks.load(relaxed);
    flow.lockMs = figures.lockMs.load(relaxed);
    return flow;
}

void InitDiagnosticsRecord(DiagnosticsRecord& record) {
    std::memset(&record, 0, sizeof record);
    record.size = sizeof(DiagnosticsRecord);
    record.version = kDiagnosticsVersion;
    record.pathCount = kDiagnosticsPaths;
    for (std::uint32_t i = 0; i < kDiagnosticsPaths; ++i) record.paths[i].stream = i;
}

void BuildDiagnosticsRecord(const DiagSnapshot& s, DiagnosticsRecord& r) {
    InitDiagnosticsRecord(r);
    const bool bridged = s.bridgeState != EDiagBridgeState::NoConsole;
    r.bridgeState = static_cast<std::uint32_t>(s.bridgeState);
    r.sampleRate = bridged ? kDiagSampleRate : 0;
    r.periodFrames = s.periodFrames;
    r.latencyMultiplier = s.latencyMultiplier;
    r.driftCorrection = s.driftCorrection ? 1 : 0;
    if (bridged) {
        r.capture = s.captureFlow.hasDevice ? s.capture : DiagFormat{};
        r.render = s.renderFlow.hasDevice ? s.render : DiagFormat{};
        r.bridgeOpenedMs = s.bridgeOpenedMs;
        r.captureBlocks = s.captureFlow.hasDevice ? s.captureFlow.blocks : 0;
        r.renderBlocks = s.renderFlow.hasDevice ? s.renderFlow.blocks : 0;
        r.driverAnswers = s.driverAnswers;
        // Locked once no direction is still locking: the later lock of the two (a direction that copies
        // sample for sample has none).
        bool locking = false;
        for (const DiagFlowSnapshot* flow : {&s.captureFlow, &s.renderFlow}) {
            if (!flow->hasDevice) continue;
            locking = locking || flow->state == static_cast<std::uint32_t>(EDiagPathState::Locking);
            r.lockMs = std::max(r.lockMs, flow->lockMs);
        }
        if (locking) r.lockMs = 0;
    }
    if (s.model) {
        std::size_t i = 0;
        for (; i < sizeof r.model - 1 && s.model[i]; ++i) r.model[i] = s.model[i];
    }
    for (std::uint32_t i = 0; i < kDiagnosticsPaths; ++i) {
        DiagPathRecord& path = r.paths[i];
        const DiagFlowSnapshot& flow = i < kDiagFirstRenderStream ? s.captureFlow : s.renderFlow;
        if (!bridged || !flow.hasDevice || !s.streamUsed[i] || s.streamChannels[i] == 0) continue;
        // A routing that measures nothing yet reports 0: it copies sample for sample.
        const bool known = flow.state >= static_cast<std::uint32_t>(EDiagPathState::Copy) &&
                           flow.state <= static_cast<std::uint32_t>(EDiagPathState::Resampling);
        path.state = known ? flow.state : static_cast<std::uint32_t>(EDiagPathState::Copy);
        path.channels = s.streamChannels[i];
        path.driftPpb = flow.driftPpb;
        path.addedLatencyFrames = flow.addedLatencyFrames;
        path.slips = flow.slips;
        path.lateEvents = flow.lateEvents;
        path.missedEvents = flow.missedEvents;
        path.frames = flow.blocks * flow.blockFrames;
    }
}

void PublishDiagnosticsRecord(DiagnosticsRecord& shared, const DiagnosticsRecord& fresh) {
    std::atomic_ref<std::uint32_t> sequence(shared.sequence);
    const std::uint32_t before = sequence.load(std::memory_order_relaxed);
    // Odd while writing; an odd word (a writer that ended mid-record) moves on to the next odd one.
    const std::uint32_t writing = (before & 1u) ? before + 2 : before + 1;
    // An exchange with acquire: the record's bytes below cannot be written before the odd word is.
    sequence.exchange(writing, std::memory_order_acq_rel);
    // Word by word with atomic stores: a reader in another process copies the record while it changes.
    static_assert(sizeof(DiagnosticsRecord) % sizeof(std::uint32_t) == 0);
    std::uint32_t words[sizeof(DiagnosticsRecord) / sizeof(std::uint32_t)];
    std::memcpy(words, &fresh, sizeof words);
    auto* to = reinterpret_cast<std::uint32_t*>(&shared);
    constexpr std::size_t kSequenceWord = offsetof(DiagnosticsRecord, sequence) / sizeof(std::uint32_t);
    for (std::size_t w = 0; w < std::size(words); ++w)
        if (w != kSequenceWord) std::atomic_ref<std::uint32_t>(to[w]).store(words[w], std::memory_order_relaxed);
    sequence.store(writing + 1, std::memory_order_release);
}
