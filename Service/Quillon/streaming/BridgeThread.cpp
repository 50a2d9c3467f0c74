#include "Service/Quillon/streaming/BridgeThread.h"

#include "Service/Quillon/streaming/BlockRouting.h"
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

// Before a block is routed: each block goes into the half the driver hands over at its next period. A
// block that finds the driver still in the half its last block went by waits for the driver's event (2 or
// 4), bounded by the latency multiplier in ms; the first block after the gate opened neither waits nor is
// delayed and restarts the count. The console's clock and the driver's are two crystals, and two
// exceptions keep the console's pace. A block that finds the driver moved on goes at once (its event is
// taken without a wait). A block that follows its predecessor within a sixteenth of a period, the driver
// still in the same half, is one the console's queue held while the stream thread was busy: the console
// runs faster than the driver, and waiting would hold the stream to the driver's pace until the queue
// overran. It goes into the same half instead, and a period slips, as the drift gives.
void PaceBlock(StreamBinding& binding, std::atomic<std::uint64_t>& progress, HANDLE driverEvent,
               CConsoleSupervisor& supervisor, std::uint32_t half) {
    if (binding.m_bFirstBlock) {
        binding.m_bFirstBlock = 0;
        progress.exchange(0);
    } else if (driverEvent != INVALID_HANDLE_VALUE && driverEvent != nullptr) {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        const std::int64_t moment = frequency.QuadPart * supervisor.m_LatencyMultiplier / 16'000;  // 1/16 period
        const bool sameHalf = half == 2 || half == binding.m_LastHalf;
        const bool queued = sameHalf && half != 2 && PerformanceCount() - binding.m_LastBlockEnd < moment;
        const DWORD waitMs = sameHalf && !queued ? supervisor.m_LatencyMultiplier : 0;
        if (WaitForSingleObject(driverEvent, waitMs) == WAIT_OBJECT_0)
            supervisor.m_DriverAnswers.fetch_add(1, std::memory_order_relaxed);
    }
}

int Signal(HANDLE event) {
    return event != INVALID_HANDLE_VALUE && event != nullptr ? static_cast<int>(SetEvent(event)) : 0;
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
    PaceBlock(binding, supervisor.m_CaptureProgress, supervisor.m_Channel.ControlEvent(2), supervisor,
              DriverHalf(slots, 0, kFirstRenderStream - 1));
    binding.m_LastHalf = DriverHalf(slots, 0, kFirstRenderStream - 1);
    RouteCaptureFrames(block, samples, channels, supervisor.m_pCurrentModel.load(), slots);
    binding.m_LastBlockEnd = PerformanceCount();
    const int signalled = Signal(supervisor.m_Channel.ControlEvent(1));
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
    PaceBlock(*binding, supervisor.m_RenderProgress, supervisor.m_Channel.ControlEvent(4), supervisor,
              DriverHalf(slots, kFirstRenderStream, kVirtualStreamCount - 1));
    binding->m_LastHalf = DriverHalf(slots, kFirstRenderStream, kVirtualStreamCount - 1);
    RouteRenderFrames(block, samples, channels, slots);
    binding->m_LastBlockEnd = PerformanceCount();
    const int signalled = Signal(supervisor.m_Channel.ControlEvent(3));
    supervisor.m_RenderProgress.fetch_add(1);
    return signalled;
}

int CaptureBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
    return RouteCaptureBlock(static_cast<ConsoleBridge*>(context), block, samples, channels);
}

int RenderBlockCallback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
    return RouteRenderBlock(static_cast<StreamBinding*>(context), block, samples, channels);
}
