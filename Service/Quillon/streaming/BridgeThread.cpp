#include "Service/Quillon/streaming/BridgeThread.h"

#include <algorithm>
#include <cmath>

#include "Service/Quillon/streaming/BlockRouting.h"
#include "Service/Quillon/ks/KsDebug.h"
#include "Service/common/DiagnosticsBlock.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"

namespace {

constexpr DWORD kStartDelayMs = 10;
constexpr DWORD kGatePollMs = 1;
constexpr DWORD kWatchMs = 20;

void ResetBridgeState(CConsoleSupervisor& supervisor) {
    supervisor.m_CaptureProgress.exchange(0);
    supervisor.m_RenderProgress.exchange(0);
    supervisor.m_bTransferGate.exchange(0);
}

bool Stopping(const CConsoleSupervisor& supervisor) {
    return supervisor.m_bBridgeStop.load() || supervisor.m_bLoopStop.load();
}

void SlotViews(const CConsoleSupervisor& supervisor, int first, int last, RouteSlot* slots) {
    for (int i = first; i <= last; ++i) slots[i] = MakeRouteSlot(supervisor.m_Channel.Slot(i));
}

// The half the driver's position is in, by the first usable slot of a flow (none: 2).
std::uint32_t DriverHalf(const RouteSlot* slots, int first, int last) {
    for (int i = first; i <= last; ++i)
        if (slots[i].m_pBuffer && slots[i].m_nLength >= 2 && slots[i].m_pPosition) return slots[i].PositionHalf();
    return 2;
}

std::int64_t PerformanceCount() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::int64_t PerformanceFrequency() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}

int Signal(HANDLE event) {
    return event != INVALID_HANDLE_VALUE && event != nullptr ? static_cast<int>(SetEvent(event)) : 0;
}

bool Usable(HANDLE event) { return event != INVALID_HANDLE_VALUE && event != nullptr; }

// A driver period dropped or repeated: counted, and noted in the KS log (nothing is formatted while the
// log is off).
void Slip(FlowFigures& figures, const char* direction, const char* cause) {
    const std::uint32_t slips = figures.slips.fetch_add(1, std::memory_order_relaxed) + 1;
    KsDebugPrint(4, WSTR("\n%s: a driver period slipped (%s), %u so far"), direction, cause, slips);
}

// Drift this small is left to the sample-for-sample copy (a period slips in no less than a quarter of an
// hour); the estimate decides once it covers this long.
constexpr double kDriftThreshold = 2e-6;
constexpr double kEstimateSeconds = 1.0;
// A drift is taken for one when it is this many standard errors from zero.
constexpr double kSignificance = 4.0;
// The estimate the loop narrows from covers at least this long (it has covered some three seconds when
// the loop narrows, the drift found to a few ppm through late readings).
constexpr double kReferenceSeconds = 2.0;
// The frames a corrected queue holds beyond what the next period or block needs, at the boundary: room
// for the scheduling delay of a woken thread (a quarter of a millisecond) at either latency. It is most
// of the latency the correction adds, with the filter's delay.
constexpr std::uint32_t kQueueMargin = 12;

// One routed block's view of its direction: the driver's events, the half its position is in, the
// figures, and the moments that pace it.
struct Flow {
    CConsoleSupervisor& supervisor;
    StreamBinding& binding;
    FlowFigures& figures;
    RouteSlot* slots;
    int firstStream, lastStream;  // the direction's driver streams
    HANDLE boundaryEvent;   // 2 (capture) or 4 (render): the driver's period boundary
    HANDLE answerEvent;     // 1 or 3: a period written or read
    std::int64_t arrival;   // performance counter when the block came
    std::int64_t frequency;
    std::uint32_t periodFrames;
    bool queued = false;    // the block followed its predecessor at once: the console's queue held it
    bool firstBlock = false;  // the first since the gate opened: it neither waits nor is delayed
    const char* name = "";  // "Capture" or "Render", for the log

    std::uint32_t Half() const { return DriverHalf(slots, firstStream, lastStream); }
    // The driver in the half its last period went by, but a period and a half later: it went round
    // once more, and the period between was neither written nor read (a slip). Its half is due now.
    bool Lapped(std::uint32_t half) {
        const std::int64_t done = binding.m_Correction.m_LastDone;
        if (half != binding.m_LastHalf || done == 0 || (arrival - done) * 32'000 <= frequency * 3 * periodFrames)
            return false;
        Slip(figures, name, "the driver went round");
        binding.m_LastHalf = half ^ 1u;
        return true;
    }
    double Seconds(std::int64_t count) const { return static_cast<double>(count) / static_cast<double>(frequency); }
    double PeriodSeconds() const { return periodFrames / 48'000.0; }

    // Waits for the driver's next period boundary; the moment it came, or 0 when it did not. The next
    // boundary may be a whole period away, and a time-out may end up to a timer tick early: the wait
    // lasts up to the latency multiplier (a period, in ms) and one more millisecond.
    std::int64_t AwaitBoundary() {
        if (!Usable(boundaryEvent)) return 0;
        const DWORD ms = supervisor.m_LatencyMultiplier + 1;
        if (WaitForSingleObject(boundaryEvent, ms) != WAIT_OBJECT_0) {
            figures.missedEvents.fetch_add(1, std::memory_order_relaxed);
            return 0;
        }
        supervisor.m_DriverAnswers.fetch_add(1, std::memory_order_relaxed);
        return PerformanceCount();
    }
};

// Before a block is routed sample for sample: each block goes into the half the driver hands over at its
// next period. A block that finds the driver still in the half its last block went by waits for the
// driver's event (2 or 4), bounded by the latency multiplier in ms; the first block after the gate opened
// neither waits nor is delayed and restarts the count. The console's clock and the driver's are two
// crystals, and two exceptions keep the console's pace. A block that finds the driver moved on goes at
// once (its event is taken without a wait). A block that follows its predecessor within a sixteenth of a
// period, the driver still in the same half, is one the console's queue held while the stream thread was
// busy: the console runs faster than the driver, and waiting would hold the stream to the driver's pace
// until the queue overran. It goes into the same half instead, and a period slips, as the drift gives.
// Returns the moment the driver's event ended a wait (0: no wait ended by it).
std::int64_t PaceBlock(Flow& flow, std::uint32_t half) {
    StreamBinding& binding = flow.binding;
    if (flow.firstBlock || !Usable(flow.boundaryEvent)) return 0;
    const bool sameHalf = half == 2 || half == binding.m_LastHalf;
    const DWORD waitMs = sameHalf && !flow.queued ? flow.supervisor.m_LatencyMultiplier : 0;
    if (sameHalf && flow.queued && half != 2) Slip(flow.figures, flow.name, "a held block into the same half");
    if (WaitForSingleObject(flow.boundaryEvent, waitMs) != WAIT_OBJECT_0) {
        if (waitMs) flow.figures.missedEvents.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    flow.supervisor.m_DriverAnswers.fetch_add(1, std::memory_order_relaxed);
    return waitMs ? PerformanceCount() : 0;
}

// Adds a block's pair to the drift estimate, the copy's and the correction's alike (a block the console's
// queue held came late, and tells nothing).
void Estimate(Flow& flow, std::int64_t boundary) {
    FlowCorrection& correction = flow.binding.m_Correction;
    if (boundary && !flow.queued)
        correction.m_Estimate.Add(flow.Seconds(flow.arrival - correction.m_Opened), correction.m_Blocks,
                                  flow.Seconds(boundary - correction.m_Opened));
}

// The sample-for-sample copy keeps a drift estimate from the moments a block came and the driver's
// boundary it saw; once it covers a second and shows drift, both directions start correcting.
void Observe(Flow& flow, std::int64_t boundary) {
    FlowCorrection& correction = flow.binding.m_Correction;
    Estimate(flow, boundary);
    const double drift = correction.m_Estimate.Drift();
    flow.figures.driftPpb.store(static_cast<std::int32_t>(drift * 1e9), std::memory_order_relaxed);
    if (!flow.supervisor.m_DriftCorrection || !correction.m_pResampler) return;
    // Only a measured drift: a slip alone may be a thread held up once, which resampling would not mend.
    // Nor a drift the readings' scatter could give: threads that wake late make a second's estimate
    // some ppm off where the clocks agree, and resampling then would lose the bit-exact copy for nothing.
    if (correction.m_Estimate.Span() >= kEstimateSeconds && std::fabs(drift) >= kDriftThreshold &&
        std::fabs(drift) >= kSignificance * correction.m_Estimate.DriftError()) {
        if (!flow.supervisor.m_bCorrecting.exchange(true)) {
            flow.supervisor.m_MeasuredDrift.store(drift);
            KsDebugPrint(4, WSTR("\n%s: drift of %d ppb measured over %u ms, correcting"), flow.name,
                         static_cast<int>(drift * 1e9), static_cast<unsigned>(correction.m_Estimate.Span() * 1000));
        }
    }
}

// Starts correcting: the loop from the measured drift (capture steps through console frames per driver
// frame, render the other way), the queue empty.
void Engage(Flow& flow, bool capture) {
    FlowCorrection& correction = flow.binding.m_Correction;
    const double drift = flow.supervisor.m_MeasuredDrift.load();
    correction.m_Loop.Start(capture ? 1.0 + drift : 1.0 / (1.0 + drift), 48'000.0 / flow.periodFrames);
    CFrameResampler& resampler = *correction.m_pResampler;
    resampler.Reset(flow.binding.m_Channels);
    // The queue starts at the level the loop holds, in silence: the one gap the change brings.
    resampler.PushSilence(CFrameResampler::Lookahead() + flow.periodFrames / 2 + kQueueMargin);
    correction.m_bEngaged = true;
    correction.m_bAligned = false;
    Slip(flow.figures, flow.name, "the change to resampling");
    flow.figures.state.store(static_cast<std::uint32_t>(EDiagPathState::Locking), std::memory_order_relaxed);
}

// Steers the loop by the level at a boundary, with the estimate's step as its reference, and shows the
// figures.
void Settle(Flow& flow, double level, double target, bool capture) {
    FlowCorrection& correction = flow.binding.m_Correction;
    if (!correction.m_bAligned) {
        // Where the change fell between the two clocks' periods decides the queue's first level. It is
        // set to the target, in the change's own slip (silence added, or frames left out; a period the
        // driver still holds is left out once read), rather than steered there: the wide loop would bend
        // the step by as much as some percent for a second.
        const double error = std::round(level - target);
        const auto frames = static_cast<std::uint32_t>(std::fabs(error));
        level -= error < 0 ? -static_cast<double>(correction.m_pResampler->PushSilence(frames))
                           : static_cast<double>(correction.m_pResampler->Discard(frames));
        correction.m_bAligned = std::fabs(level - target) < 1;
        if (!correction.m_bAligned) return;
    }
    const double estimated = correction.m_Estimate.Drift();
    const double reference = correction.m_Estimate.Span() < kReferenceSeconds ? 0.0
                             : capture                                        ? 1.0 + estimated
                                                                              : 1.0 / (1.0 + estimated);
    correction.m_Loop.Update((level - target) / flow.periodFrames, reference);
    const double learned = correction.m_Loop.Integral();
    const double drift = capture ? learned - 1.0 : 1.0 / learned - 1.0;
    flow.figures.driftPpb.store(static_cast<std::int32_t>(drift * 1e9), std::memory_order_relaxed);
    // Beyond the copy, which hands a capture period over a period after its boundary: the queue's frames
    // and the filter's delay.
    const double added = level - (capture ? flow.periodFrames : 0) + CFrameResampler::Delay();
    flow.figures.addedLatencyFrames.store(static_cast<std::uint32_t>(added > 0 ? added : 0), std::memory_order_relaxed);
    if (correction.m_Loop.Locked() && flow.figures.lockMs.load(std::memory_order_relaxed) == 0) {
        const double ms = flow.Seconds(PerformanceCount() - correction.m_Opened) * 1000.0;
        flow.figures.lockMs.store(static_cast<std::uint32_t>(ms > 1 ? ms : 1), std::memory_order_relaxed);
        KsDebugPrint(4, WSTR("\n%s: drift of %d ppb corrected, locked %u ms after the first block"), flow.name,
                     flow.figures.driftPpb.load(std::memory_order_relaxed), static_cast<unsigned>(ms));
        flow.figures.state.store(static_cast<std::uint32_t>(EDiagPathState::Resampling), std::memory_order_relaxed);
    }
}

// Correcting capture: the console's block joins the queue at the console's rate; each driver period gets
// one period of resampled frames at the driver's. A block that finds its period written waits for the
// next boundary and writes that period (as the copy does), unless the console's queue held it. One that
// finds a period not yet written writes it at once and then waits for the boundary all the same: the
// stream thread has nothing else to do until the console's next block, and the loop learns where the
// boundary lies. When the queue already holds the next period it writes that one too: the console's
// clock is the slower, and its next block would come after that period had ended.
void CorrectCapture(Flow& flow, const float* block, std::uint32_t frames, std::uint16_t channels) {
    StreamBinding& binding = flow.binding;
    FlowCorrection& correction = binding.m_Correction;
    CFrameResampler& resampler = *correction.m_pResampler;
    if (resampler.Push(block, frames) < frames) Slip(flow.figures, flow.name, "queue full");
    const std::uint32_t period = flow.periodFrames;
    const std::uint32_t samples = period * channels;
    if (samples > kRouteScratchSamples) return;
    float scratch[kRouteScratchSamples];
    const double need = period * correction.m_Loop.Step() + CFrameResampler::Lookahead();

    auto write = [&](std::uint32_t half) {
        const std::uint32_t got = resampler.Pull(scratch, period, correction.m_Loop.Step());
        if (got < period) {
            std::fill(scratch + got * channels, scratch + samples, 0.0f);
            Slip(flow.figures, flow.name, "queue short");
        }
        binding.m_CaptureRoute.Route(scratch, samples, channels, flow.supervisor.m_pCurrentModel.load(), flow.slots);
        binding.m_LastHalf = half;
        correction.m_LastDone = PerformanceCount();
        Signal(flow.answerEvent);
    };
    std::int64_t boundary = 0;
    bool pending = false;  // the boundary passed, its period left for the next block
    // Signals of boundaries that passed before this block came are old news: the waits below are for
    // the next one. (One that comes after this is kept, and tells its moment within microseconds.)
    if (Usable(flow.boundaryEvent)) WaitForSingleObject(flow.boundaryEvent, 0);
    std::uint32_t half = flow.Half();
    if (half != 2) flow.Lapped(half);
    if (half == 2) return;
    if (half == binding.m_LastHalf && !flow.queued) {
        boundary = flow.AwaitBoundary();
        half = flow.Half();
    }
    if (half != 2 && half != binding.m_LastHalf) {
        write(half);
        if (!boundary && !flow.queued) {
            boundary = flow.AwaitBoundary();
            half = flow.Half();
            if (boundary && half != 2 && half != binding.m_LastHalf) {
                if (resampler.Buffered() >= need)
                    write(half);
                else
                    pending = true;
            }
        }
    }
    // The queue's level at the boundary, as if its period were written, with the console frames that
    // came since the block did (at the console's rate: the step's worth of console frames per driver
    // frame).
    const double target = period + CFrameResampler::Lookahead() + kQueueMargin;
    Estimate(flow, boundary);
    if (boundary) {
        const double step = correction.m_Loop.Step();
        const double since = flow.Seconds(boundary - flow.arrival) * 48'000.0 * step;
        Settle(flow, resampler.Buffered() - (pending ? period * step : 0.0) + since, target, true);
    }
}

// Correcting render, the mirror: each driver period read as its boundary passes joins the queue at the
// driver's rate; each console block takes one block of resampled frames at the console's. A block that
// finds a period not yet read reads it at once, waits for the boundary (the console's render queue holds
// three blocks), and reads that period too when the queue runs short.
void CorrectRender(Flow& flow, float* block, std::uint32_t frames, std::uint16_t channels) {
    StreamBinding& binding = flow.binding;
    FlowCorrection& correction = binding.m_Correction;
    CFrameResampler& resampler = *correction.m_pResampler;
    const std::uint32_t period = flow.periodFrames;
    const std::uint32_t samples = period * channels;
    if (samples > kRouteScratchSamples) return;
    float scratch[kRouteScratchSamples];

    auto read = [&](std::uint32_t half) {
        RouteRenderFrames(scratch, samples, channels, flow.slots);
        if (resampler.Push(scratch, period) < period) Slip(flow.figures, flow.name, "queue full");
        binding.m_LastHalf = half;
        correction.m_LastDone = PerformanceCount();
        Signal(flow.answerEvent);
    };
    const double target = CFrameResampler::Lookahead() + kQueueMargin;
    const double need = frames * correction.m_Loop.Step() + CFrameResampler::Lookahead();
    std::int64_t boundary = 0;
    bool pending = false;
    // Signals of boundaries that passed before this block came are old news: the waits below are for
    // the next one. (One that comes after this is kept, and tells its moment within microseconds.)
    if (Usable(flow.boundaryEvent)) WaitForSingleObject(flow.boundaryEvent, 0);
    std::uint32_t half = flow.Half();
    if (half != 2) flow.Lapped(half);
    // A block the console's queue held skips the wait, unless the queue cannot give it its frames.
    if (half != 2 && half == binding.m_LastHalf && (!flow.queued || resampler.Buffered() < need)) {
        boundary = flow.AwaitBoundary();
        half = flow.Half();
    }
    if (half != 2 && half != binding.m_LastHalf) {
        read(half);
        if (!boundary && !flow.queued) {
            boundary = flow.AwaitBoundary();
            half = flow.Half();
            if (boundary && half != 2 && half != binding.m_LastHalf) {
                if (resampler.Buffered() < need + target)
                    read(half);
                else
                    pending = true;
            }
        }
    }
    const std::uint32_t got = resampler.Pull(block, frames, correction.m_Loop.Step());
    if (got < frames) {
        std::fill(block + got * channels, block + frames * channels, 0.0f);
        Slip(flow.figures, flow.name, "queue short");
    }
    Estimate(flow, boundary);
    if (boundary)
        Settle(flow, resampler.Buffered() + (pending ? period : 0) - flow.Seconds(boundary - flow.arrival) * 48'000.0,
               target, false);
}

// What both routings share: the gate, the block's arrival, the first block's restart and the choice
// between the sample-for-sample copy and the correction.
Flow MakeFlow(CConsoleSupervisor& supervisor, StreamBinding& binding, std::atomic<std::uint64_t>& progress,
              FlowFigures& figures, RouteSlot* slots, int first, int last, int boundaryEvent, int answerEvent) {
    Flow flow{supervisor, binding, figures, slots, first, last,
              supervisor.m_Channel.ControlEvent(boundaryEvent), supervisor.m_Channel.ControlEvent(answerEvent),
              PerformanceCount(), PerformanceFrequency(), supervisor.m_Channel.BufferFrames() / 2};
    // A block that follows its predecessor within a sixteenth of a period was held by the console's queue.
    const std::int64_t moment = flow.frequency * supervisor.m_LatencyMultiplier / 16'000;
    flow.queued = !binding.m_bFirstBlock && flow.arrival - binding.m_LastBlockEnd < moment;
    if (binding.m_bFirstBlock) {
        binding.m_bFirstBlock = 0;
        progress.exchange(0);
        flow.firstBlock = true;
        binding.m_Correction.m_Estimate.Reset(flow.PeriodSeconds());
        binding.m_Correction.m_bEngaged = false;
        binding.m_Correction.m_Blocks = 0;
        binding.m_Correction.m_Opened = flow.arrival;
        figures.state.store(static_cast<std::uint32_t>(EDiagPathState::Copy), std::memory_order_relaxed);
    }
    return flow;
}

}  // namespace

bool GateMayOpen(bool hasCapture, std::uint64_t captureProgress, std::uint64_t renderProgress) {
    return hasCapture ? captureProgress != 0 && renderProgress != 0 : renderProgress != 0;
}

unsigned WINAPI BridgeThreadProc(void* argument) {
    auto* supervisor = static_cast<CConsoleSupervisor*>(argument);
    if (!supervisor) return 0;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HANDLE task = nullptr;
    DWORD taskIndex = 0;
    if (supervisor->m_pfnAvSetMmThreadCharacteristicsA)
        task = supervisor->m_pfnAvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);

    // The waits of a running bridge are shorter than the system timer's default tick (15.6 ms; a process
    // that does not ask gets it, whatever others asked): the driver's events are waited for 2 or 4 ms,
    // the gate is polled every millisecond, and render queues 3 packets. The process asks for 1 ms while
    // the bridge runs.
    const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    ResetBridgeState(*supervisor);
    // A new bridge starts copying sample for sample, its figures from zero (the last bridge's stay
    // readable until then).
    supervisor->m_bCorrecting.store(false);
    supervisor->m_MeasuredDrift.store(0.0);
    supervisor->m_Figures.Reset();
    ConsoleBridge* bridge = supervisor->m_pBridge;
    if (bridge && bridge->m_Render.m_pDevice) {
        Sleep(kStartDelayMs);
        supervisor->m_StreamManager.StartAll();
        const bool hasCapture = bridge->m_Capture.m_pDevice != nullptr;
        // A service stopping before the gate opened ends the wait too, rather than leave the loop thread
        // to time out on this thread.
        while (!Stopping(*supervisor)) {
            if (supervisor->m_bTransferGate.load()) break;
            if (GateMayOpen(hasCapture, supervisor->m_CaptureProgress.load(), supervisor->m_RenderProgress.load()))
                supervisor->m_bTransferGate.exchange(1);
            else
                Sleep(kGatePollMs);
        }
        while (!Stopping(*supervisor)) Sleep(kWatchMs);
        supervisor->m_StreamManager.StopAll();
    }

    ResetBridgeState(*supervisor);
    if (fineTimer) timeEndPeriod(1);
    if (task && supervisor->m_pfnAvRevertMmThreadCharacteristics) supervisor->m_pfnAvRevertMmThreadCharacteristics(task);
    if (com != RPC_E_CHANGED_MODE && SUCCEEDED(com)) CoUninitialize();
    return 0;
}

int RouteCaptureBlock(ConsoleBridge* bridge, const float* block, std::uint32_t samples, std::uint16_t channels) {
    if (!bridge || !bridge->m_Capture.m_pSupervisor) return 0;
    CConsoleSupervisor& supervisor = *bridge->m_Capture.m_pSupervisor;
    if (!supervisor.m_bTransferGate.load()) {
        supervisor.m_CaptureProgress.fetch_add(1);
        return 0;
    }
    RouteSlot slots[kVirtualStreamCount];
    SlotViews(supervisor, 0, kFirstRenderStream - 1, slots);
    StreamBinding& binding = bridge->m_Capture;
    Flow flow = MakeFlow(supervisor, binding, supervisor.m_CaptureProgress, supervisor.m_Figures.capture, slots, 0,
                         kFirstRenderStream - 1, 2, 1);
    flow.name = "Capture";
    FlowCorrection& correction = binding.m_Correction;
    if (!correction.m_bEngaged && supervisor.m_bCorrecting.load() && channels == binding.m_Channels && channels)
        Engage(flow, true);

    int signalled = 1;
    if (correction.m_bEngaged) {
        CorrectCapture(flow, block, samples / channels, channels);
    } else {
        std::int64_t boundary = PaceBlock(flow, flow.Half());
        binding.m_LastHalf = flow.Half();
        binding.m_CaptureRoute.Route(block, samples, channels, supervisor.m_pCurrentModel.load(), slots);
        signalled = Signal(flow.answerEvent);
        // A block written at once: while correction is on, the stream thread (idle until the console's
        // next block) waits for the driver's next boundary, so that the estimate sees every block.
        if (!boundary && !flow.queued && !flow.firstBlock && supervisor.m_DriftCorrection)
            boundary = flow.AwaitBoundary();
        Observe(flow, boundary);
    }
    ++correction.m_Blocks;
    supervisor.m_Figures.capture.blocks.fetch_add(1, std::memory_order_relaxed);
    binding.m_LastBlockEnd = PerformanceCount();
    supervisor.m_CaptureProgress.fetch_add(1);
    return signalled;
}

int RouteRenderBlock(StreamBinding* binding, float* block, std::uint32_t samples, std::uint16_t channels) {
    if (!binding || !binding->m_pSupervisor) return 0;
    CConsoleSupervisor& supervisor = *binding->m_pSupervisor;
    if (!supervisor.m_bTransferGate.load()) {
        supervisor.m_RenderProgress.fetch_add(1);
        return 0;
    }
    RouteSlot slots[kVirtualStreamCount];
    SlotViews(supervisor, kFirstRenderStream, kVirtualStreamCount - 1, slots);
    Flow flow = MakeFlow(supervisor, *binding, supervisor.m_RenderProgress, supervisor.m_Figures.render, slots, kFirstRenderStream,
                         kVirtualStreamCount - 1, 4, 3);
    flow.name = "Render";
    FlowCorrection& correction = binding->m_Correction;
    if (!correction.m_bEngaged && supervisor.m_bCorrecting.load() && channels == binding->m_Channels && channels)
        Engage(flow, false);

    int signalled = 1;
    if (correction.m_bEngaged) {
        CorrectRender(flow, block, samples / channels, channels);
    } else {
        const std::int64_t boundary = PaceBlock(flow, flow.Half());
        binding->m_LastHalf = flow.Half();
        RouteRenderFrames(block, samples, channels, slots);
        signalled = Signal(flow.answerEvent);
        Observe(flow, boundary);
    }
    ++correction.m_Blocks;
    supervisor.m_Figures.render.blocks.fetch_add(1, std::memory_order_relaxed);
    binding->m_LastBlockEnd = PerformanceCount();
    supervisor.m_RenderProgress.fetch_add(1);
    return signalled;
}

int CaptureBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
    return RouteCaptureBlock(static_cast<ConsoleBridge*>(context), block, samples, channels);
}

int RenderBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
    return RouteRenderBlock(static_cast<StreamBinding*>(context), block, samples, channels);
}
