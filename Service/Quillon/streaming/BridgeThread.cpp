#include "Service/Quillon/streaming/BridgeThread.h"

#include "Service/Quillon/supervisor/ConsoleSupervisor.h"

unsigned WINAPI BridgeThreadProc(void* argument) {
    auto* supervisor = static_cast<CConsoleSupervisor*>(argument);
    if (!supervisor) return 0;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HANDLE task = nullptr;
    DWORD taskIndex = 0;
    if (supervisor->m_pfnAvSetMmThreadCharacteristicsA)
        task = supervisor->m_pfnAvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);
    supervisor->m_CaptureProgress.store(0);
    supervisor->m_RenderProgress.store(0);
    while (!supervisor->m_bBridgeStop.load() && !supervisor->m_bLoopStop.load()) Sleep(10);
    supervisor->m_bTransferGate.store(0);
    supervisor->m_CaptureProgress.store(0);
    supervisor->m_RenderProgress.store(0);
    if (task && supervisor->m_pfnAvRevertMmThreadCharacteristics) supervisor->m_pfnAvRevertMmThreadCharacteristics(task);
    return 0;
}

int CaptureBlockCallback(float*, std::uint32_t, std::uint16_t, void* context) {
    auto* half = static_cast<StreamBinding*>(context);
    if (half->m_bFirstBlock) {
        half->m_bFirstBlock = 0;
        half->m_pSupervisor->m_CaptureProgress.store(0);
    }
    half->m_pSupervisor->m_CaptureProgress.fetch_add(1);
    return 0;
}

int RenderBlockCallback(float*, std::uint32_t, std::uint16_t, void* context) {
    auto* half = static_cast<StreamBinding*>(context);
    if (half->m_bFirstBlock) {
        half->m_bFirstBlock = 0;
        half->m_pSupervisor->m_RenderProgress.store(0);
    }
    half->m_pSupervisor->m_RenderProgress.fetch_add(1);
    return 0;
}
