// What the routing measures while a bridge runs, per direction (every stream of a direction shares the
// console's clock and the driver's, so they share these figures). Each direction's stream thread is the
// only writer of its figures; the supervisor loop reads them to publish the diagnostics view. All
// fields are atomics read and written relaxed: a reader may see one figure a block newer than another.
#pragma once

#include <atomic>
#include <cstdint>

struct FlowFigures {
    std::atomic<std::uint32_t> state{0};  // EDiagPathState of the direction's routed streams
    std::atomic<std::int32_t> driftPpb{0};
    std::atomic<std::uint32_t> addedLatencyFrames{0};
    std::atomic<std::uint32_t> slips{0};
    std::atomic<std::uint32_t> lateEvents{0};
    std::atomic<std::uint32_t> missedEvents{0};
    std::atomic<std::uint64_t> blocks{0};  // console blocks routed
    std::atomic<std::uint32_t> lockMs{0};  // bridge opening to lock, 0 until locked

    void Reset() {
        for (auto* f : {&state, &addedLatencyFrames, &slips, &lateEvents, &missedEvents, &lockMs})
            f->store(0, std::memory_order_relaxed);
        driftPpb.store(0, std::memory_order_relaxed);
        blocks.store(0, std::memory_order_relaxed);
    }
};

struct BridgeFigures {
    FlowFigures capture;
    FlowFigures render;

    void Reset() {
        capture.Reset();
        render.Reset();
    }
};
