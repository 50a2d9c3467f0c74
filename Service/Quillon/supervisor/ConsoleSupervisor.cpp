#include "Service/Quillon/supervisor/ConsoleSupervisor.h"

#include <cstdio>
#include <cstring>

#include "Service/Quillon/streaming/BridgeThread.h"
#include "Service/Quillon/supervisor/ConsoleHidLink.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "Service/Quillon/supervisor/ServiceEntry.h"
#include "Service/Quillon/vdriver/EndpointControl.h"

namespace {

constexpr std::uint32_t kCaptureStreamsShown = 11;  // indices 0 to 10

// One direction of the open bridge for the diagnostics view: its device's negotiated format and block.
void DescribeFlow(const StreamBinding& half, DiagFlowSnapshot& flow, DiagFormat& format) {
    const CKSDevice* device = half.m_pDevice;
    flow.hasDevice = device != nullptr;
    if (!device) return;
    flow.blockFrames = half.m_FramesPerPacket;
    const WAVEFORMATEX* wave = device->m_pPin ? device->m_pPin->m_pWaveFormatEx : nullptr;
    format.channels = device->m_nChannels;
    format.containerBits = wave ? wave->wBitsPerSample : 0;
    format.validBits = device->m_nValidBits > 0 ? static_cast<std::uint16_t>(device->m_nValidBits) : format.containerBits;
    format.looped = device->m_pPin && device->m_pPin->m_bLoopedSupported ? 1 : 0;
}

void FillBinding(StreamBinding& half, CKSDevice* device) {
    half.m_pDevice = device;
    half.m_Channels = device->m_nChannels;
    half.m_FramesPerPacket = device->m_nChannels ? device->m_nPacketSize / device->m_nChannels : 0;
    half.m_Correction.Prepare(half.m_Channels, half.m_FramesPerPacket);
}

}  // namespace

CConsoleSupervisor::CConsoleSupervisor() {
    m_StreamManager.CreateFilterLists();

    m_pCommandBlock = std::make_unique<CSharedMemoryGlobalWriter>(kCommandBlockName, kCommandBlockServiceAccess);
    m_pStatusBlock = std::make_unique<CSharedMemoryWriter>(SharedMemorySide::Create, kStatusBlockName, kReadWriteAccess);
    m_Diagnostics = CDiagnosticsMapping::Create(kDiagnosticsBlockName);
    PublishIdleDiagnostics();  // a whole record at once, then again with the settings

    m_hInstance = ProcessGlobal<CServiceProcess>().m_hInstance;
    LoadSettings();
    PublishIdleDiagnostics();

    if (!m_Channel.IsOpen()) return;

    MarkDisconnected();
    // System libraries come from the system folder only, never from the program's or the current folder.
    m_hAvrt = LoadLibraryExW(WSTR("Avrt.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (m_hAvrt) {
        m_pfnAvSetMmThreadCharacteristicsA = reinterpret_cast<AvSetMmThreadCharacteristicsAFn>(
            reinterpret_cast<void*>(GetProcAddress(m_hAvrt, "AvSetMmThreadCharacteristicsA")));
        m_pfnAvRevertMmThreadCharacteristics = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(
            reinterpret_cast<void*>(GetProcAddress(m_hAvrt, "AvRevertMmThreadCharacteristics")));
        // Without either export the bridge thread does not join the task at all: a join it could not
        // revert would stay registered.
        if (!m_pfnAvSetMmThreadCharacteristicsA || !m_pfnAvRevertMmThreadCharacteristics) {
            m_pfnAvSetMmThreadCharacteristicsA = nullptr;
            m_pfnAvRevertMmThreadCharacteristics = nullptr;
        }
    }
    OpenAllStreams();
    if (m_hLoopThread == INVALID_HANDLE_VALUE) {
        const uintptr_t thread = _beginthreadex(nullptr, 0, LoopThreadProc, this, 0, &m_LoopThreadId);
        if (thread) m_hLoopThread = reinterpret_cast<HANDLE>(thread);
    }
}

CConsoleSupervisor::~CConsoleSupervisor() {
    m_bLoopStop.exchange(1);
    // Nothing below may be destroyed under a thread that still uses it: past the bounded wait, a loop or
    // bridge thread that has not ended is waited for without limit.
    if (m_hLoopThread != INVALID_HANDLE_VALUE) {
        if (WaitForSingleObject(m_hLoopThread, kThreadStopWaitMs) != WAIT_OBJECT_0)
            WaitForSingleObject(m_hLoopThread, INFINITE);
        CloseHandle(m_hLoopThread);
        m_hLoopThread = INVALID_HANDLE_VALUE;
    }
    if (m_hBridgeThread != INVALID_HANDLE_VALUE) {
        m_bBridgeStop.exchange(1);
        WaitForSingleObject(m_hBridgeThread, INFINITE);
    }
    for (int i = 0; i < kVirtualStreamCount; ++i) HideEndpoint(*this, i);
    WriteSettings();
    if (m_hAvrt) FreeLibrary(m_hAvrt);
    m_pStatusBlock.reset();
    m_pCommandBlock.reset();
    // A reader that keeps the diagnostics block (the worker, across supervisors) sees no bridge.
    PublishIdleDiagnostics();
    m_Diagnostics.Close();
    // No device may call back into a freed bridge: the devices are destroyed before it.
    m_StreamManager.DestroyAll();
    delete m_pBridge;
    m_pBridge = nullptr;
    // The stream manager and then the channel are destroyed as members, in that order.
    if (m_hBridgeThread != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hBridgeThread);
        m_hBridgeThread = INVALID_HANDLE_VALUE;
    }
}

void CConsoleSupervisor::WriteSettings() {
    WriteSetting(kEnableValueName, m_Enable);
    WriteSetting(kLatencyValueName, m_Latency);
}

void CConsoleSupervisor::LoadSettings() {
    std::uint32_t value = 0;
    m_Enable = ReadSetting(kEnableValueName, value) ? value : 1;
    m_Latency = ReadSetting(kLatencyValueName, value) ? value : 0;
    m_DriftCorrection = ReadDriftCorrection();

    if (QuillonSharedBlock* status = StatusView()) {
        std::memset(status, 0, sizeof(*status));
        if (m_Enable) status->settings |= kSettingEnable;
        if (m_Latency) status->settings |= kSettingLatency;
        PublishVersion(*status);
        if (QuillonSharedBlock* command = CommandView()) std::memcpy(command, status, sizeof(*status));
    }
    ApplyLatency();
}

void CConsoleSupervisor::PublishVersion(QuillonSharedBlock& status) {
    char version[48] = "";
    constexpr WORD kVersionResourceType = 16;  // RT_VERSION, spelled for the W call in both builds
    HRSRC resource = FindResourceW(m_hInstance, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(kVersionResourceType));
    HGLOBAL loaded = resource ? LoadResource(m_hInstance, resource) : nullptr;
    const void* block = loaded ? LockResource(loaded) : nullptr;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (block && VerQueryValueW(block, WSTR("\\"), reinterpret_cast<LPVOID*>(&info), &length) && info &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        std::snprintf(version, sizeof version, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(info->dwProductVersionMS)),
                      static_cast<unsigned>(LOWORD(info->dwProductVersionMS)),
                      static_cast<unsigned>(HIWORD(info->dwProductVersionLS)),
                      static_cast<unsigned>(LOWORD(info->dwProductVersionLS)));
    }
    char text[kSharedTextSize + sizeof version];
    std::snprintf(text, sizeof text, "%s%s", kVersionPrefix, version);
    WriteSharedText(status.serviceVersion, text);
}

void CConsoleSupervisor::ApplyLatency() {
    const std::uint32_t wanted = m_Latency ? 4 : 2;
    if (m_LatencyMultiplier == wanted) return;
    if (m_pBridge) TearDownBridge();
    if (m_pBridge) return;  // the bridge thread has not ended: the streams stay as they are; retried next pass
    m_LatencyMultiplier = wanted;
    ReconfigureChannel();  // a registration the driver refused is tried again by the next search
}

// The channel set up anew around a control block with the current multiplier; whether the driver took
// the registration.
bool CConsoleSupervisor::ReconfigureChannel() {
    for (int i = 0; i < kVirtualStreamCount; ++i) m_Channel.CloseStream(i);
    m_Channel.StopNotifier();
    m_Channel.ReleaseControlBlock();
    const bool registered = m_Channel.RegisterControlBlock(m_LatencyMultiplier);
    m_LastDriverTick = timeGetTime();
    m_Channel.StartNotifier();
    OpenAllStreams();
    return registered;
}

// Before each search: the channel must be able to carry a bridge. A stream open the driver refused is
// tried again. A registration it refused, or a driver that is gone (removed, or reinstalled behind the
// channel's handle), gets the channel set up anew; a driver that refuses that is given up, and the worker
// builds a new supervisor, which finds it again once it is back. Only a driver whose event 4 has been
// silent is asked whether it is gone: a driver's clock may rest while no application streams, and that
// alone is no reason to touch the channel.
void CConsoleSupervisor::CheckChannel() {
    if (!m_Channel.IsOpen()) return;
    const HANDLE tick = m_Channel.ControlEvent(4);
    const DWORD now = timeGetTime();
    if (tick != INVALID_HANDLE_VALUE && tick != nullptr && WaitForSingleObject(tick, 0) == WAIT_OBJECT_0)
        m_LastDriverTick = now;
    const bool silent = m_Channel.BufferFrames() != 0 && now - m_LastDriverTick > kDriverSilenceMs;
    if (silent) m_LastDriverTick = now;  // asked again after the next silence
    if (m_Channel.BufferFrames() == 0 || (silent && m_Channel.DriverGone())) {
        if (!ReconfigureChannel()) m_bChannelLost.store(1);
        return;
    }
    OpenAllStreams();
}

void CConsoleSupervisor::OpenAllStreams() {
    for (int i = 0; i < kVirtualStreamCount; ++i) {
        std::uint32_t length = 0;  // the bridge reads the lengths from the slots
        m_Channel.OpenStream(i, length);
    }
}

void CConsoleSupervisor::MarkDisconnected() {
    for (int i = 0; i < kVirtualStreamCount; ++i) HideEndpoint(*this, i);
    m_ChannelMask = 0;
    m_pCurrentModel.store(nullptr);
    if (QuillonSharedBlock* status = StatusView()) {
        status->stateFlags &= ~kStateConsoleConnected;
        std::memcpy(status->consoleDescription, kNoConsoleText, sizeof kNoConsoleText);
        status->firmwareText[0] = 0;
    }
}

ConsoleBridge* CConsoleSupervisor::OpenConsoleBridge(const char* pattern, std::uint16_t renderChannels,
                                                     std::uint16_t captureChannels) {
    const std::uint32_t frames = m_Channel.BufferFrames() / 2;
    CKSDevice* render = nullptr;
    if (m_StreamManager.RenderFilters()) {
        std::vector<CKSDevice*> devices = m_StreamManager.CreateRenderDevices(pattern, renderChannels, frames);
        if (!devices.empty()) render = devices.front();
    }
    if (render && !render->m_HidLink.IsOpen()) {
        m_StreamManager.RemoveDevice(render);
        render = nullptr;
    }
    // The search asks every model on every pass while no console is plugged in: no bridge is made for a
    // model without its render device.
    if (!render) return nullptr;

    auto* bridge = new ConsoleBridge();
    bridge->m_Capture.m_pSupervisor = this;
    bridge->m_Render.m_pSupervisor = this;
    FillBinding(bridge->m_Render, render);
    render->m_pfnBlockCallback = RenderBlockCallback;
    render->m_pCallbackContext = &bridge->m_Render;
    if (captureChannels != 0 && m_StreamManager.CaptureFilters()) {
        std::vector<CKSDevice*> devices = m_StreamManager.CreateCaptureDevices(pattern, captureChannels, frames);
        if (!devices.empty()) {
            FillBinding(bridge->m_Capture, devices.front());
            devices.front()->m_pfnBlockCallback = CaptureBlockCallback;
            devices.front()->m_pCallbackContext = bridge;  // the capture half's address is the bridge's
        }
    }
    return bridge;
}

unsigned WINAPI CConsoleSupervisor::LoopThreadProc(void* argument) {
    if (argument) static_cast<CConsoleSupervisor*>(argument)->Run();
    return 0;
}

void CConsoleSupervisor::Run() {
    // COM, which the console search needs (the console's endpoint leads to its HID interface), is tried
    // again on each pass until the thread has it.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    delete m_pBridge;
    m_pBridge = nullptr;
    std::uint64_t savedCapture = 0;
    std::uint64_t savedRender = 0;
    DWORD checkTime = timeGetTime();
    m_LastDriverTick = checkTime;

    while (!m_bLoopStop.load()) {
        if (FAILED(com) && com != RPC_E_CHANGED_MODE) com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ExchangeWithTray();
        ApplyLatency();  // only acts when an earlier change could not be carried out
        if (m_pBridge)
            WatchBridge(checkTime, savedCapture, savedRender);
        else if (m_Enable)
            SearchConsole(checkTime, savedCapture, savedRender);
        PublishDiagnostics();
        Sleep(kLoopPeriodMs);
    }

    if (m_hBridgeThread != INVALID_HANDLE_VALUE && WaitForSingleObject(m_hBridgeThread, kThreadStopWaitMs) == WAIT_OBJECT_0) {
        CloseHandle(m_hBridgeThread);
        m_hBridgeThread = INVALID_HANDLE_VALUE;
    }
    if (m_hBridgeThread == INVALID_HANDLE_VALUE && m_pBridge) {
        // The devices hold the bridge's halves as their callbacks' context: they go first.
        m_StreamManager.DestroyAll();
        delete m_pBridge;
        m_pBridge = nullptr;
    }
    if (SUCCEEDED(com)) CoUninitialize();
}

void CConsoleSupervisor::ExchangeWithTray() {
    QuillonSharedBlock* status = StatusView();
    QuillonSharedBlock* command = CommandView();
    if (!status || !command) return;
    QuillonSharedBlock request;
    std::memcpy(&request, command, sizeof(request));
    status->heartbeat = request.heartbeat;
    if (request.settings == status->settings) return;
    m_Enable = request.settings & kSettingEnable;
    m_Latency = (request.settings & kSettingLatency) ? 1 : 0;
    status->settings = request.settings;
    ApplyLatency();
    WriteSettings();
}

void CConsoleSupervisor::WatchBridge(DWORD& checkTime, std::uint64_t& savedCapture, std::uint64_t& savedRender) {
    const DWORD elapsed = timeGetTime() - checkTime;
    if (elapsed <= kNamingWindowMs) {
        for (int i = 0; i < kVirtualStreamCount; ++i)
            if (m_RenamePending[i]) RenameEndpoint(*this, i);
        return;
    }
    const std::uint64_t capture = m_CaptureProgress.load(std::memory_order_relaxed);
    const std::uint64_t render = m_RenderProgress.load(std::memory_order_relaxed);
    const bool captureStalled = m_pBridge->m_Capture.m_pDevice && capture == savedCapture;
    // Blocks routed while no driver event came: the driver's clock rests (nothing streams, or it follows
    // the service), or the driver is gone; only the last ends the bridge (the search then looks at the
    // channel).
    const std::uint64_t answers = m_DriverAnswers.load(std::memory_order_relaxed);
    const bool driverGone = m_bTransferGate.load() && answers == m_CheckedDriverAnswers && m_Channel.DriverGone();
    if (!m_Enable || captureStalled || render == savedRender || driverGone) {
        m_CaptureRetries = 0;
        TearDownBridge();
        return;
    }
    checkTime = timeGetTime();
    savedCapture = AttachMissingCapture() ? m_CaptureProgress.load(std::memory_order_relaxed) : capture;
    savedRender = render;
    m_CheckedDriverAnswers = answers;
    PollChannelMask(*this, ChosenHidLink());
}

// A console with capture channels bridged without its capture pin (the pin or its filter could not be had
// at the search) has the pin looked for again a few times while playback goes on, so that a passing
// failure does not leave every capture endpoint silent; the playback endpoints and the console's status
// stay as they are. Only once the gate is open: the bridge thread has then read the bridge's halves.
bool CConsoleSupervisor::AttachMissingCapture() {
    const CUSBDevice* model = m_pCurrentModel.load();
    if (!model || model->CaptureChannels() == 0 || m_pBridge->m_Capture.m_pDevice || !m_bTransferGate.load() ||
        m_CaptureRetries >= kCaptureRetries)
        return false;
    ++m_CaptureRetries;
    m_StreamManager.RefreshFilterLists();  // the capture list, since no capture device is held
    if (!m_StreamManager.CaptureFilters()) return false;
    std::vector<CKSDevice*> devices =
        m_StreamManager.CreateCaptureDevices(model->DevicePathPattern(), model->CaptureChannels(), m_Channel.BufferFrames() / 2);
    if (devices.empty()) return false;
    CKSDevice* capture = devices.front();
    capture->m_pfnBlockCallback = CaptureBlockCallback;
    capture->m_pCallbackContext = m_pBridge;  // the capture half's address is the bridge's
    FillBinding(m_pBridge->m_Capture, capture);
    m_StreamManager.StartAll();
    for (std::uint32_t i = 0; i < kCaptureStreamsShown; ++i) ShowEndpoint(*this, static_cast<int>(i));
    return true;
}

void CConsoleSupervisor::SearchConsole(DWORD& checkTime, std::uint64_t& savedCapture, std::uint64_t& savedRender) {
    CheckChannel();
    if (m_bChannelLost.load()) return;
    if (!m_StreamManager.RefreshFilterLists()) {
        m_StreamManager.DestroyAll();
        m_StreamManager.RefreshFilterLists();
    }
    for (const CUSBDevice* model : g_ConsoleModels) {
        m_pBridge = OpenConsoleBridge(model->DevicePathPattern(), model->RenderChannels(), model->CaptureChannels());
        if (!m_pBridge) continue;
        m_pCurrentModel.store(model);
        m_BridgeOpenedMs = GetTickCount64();
        if (m_pBridge->m_Capture.m_pDevice) m_CaptureRetries = 0;
        checkTime = timeGetTime();
        savedCapture = m_CaptureProgress.load(std::memory_order_relaxed);
        savedRender = m_RenderProgress.load(std::memory_order_relaxed);
        m_CheckedDriverAnswers = m_DriverAnswers.load(std::memory_order_relaxed);
        m_bBridgeStop.exchange(0);
        if (m_hBridgeThread == INVALID_HANDLE_VALUE) {
            const uintptr_t thread = _beginthreadex(nullptr, 0, BridgeThreadProc, this, 0, &m_BridgeThreadId);
            if (thread) m_hBridgeThread = reinterpret_cast<HANDLE>(thread);
        }
        AnnounceConsole(*model, m_pBridge->m_Capture.m_pDevice != nullptr);
        return;
    }
}

void CConsoleSupervisor::AnnounceConsole(const CUSBDevice& model, bool captureOpened) {
    m_pCurrentModel.store(&model);
    if (captureOpened)
        for (std::uint32_t i = 0; i < kCaptureStreamsShown; ++i) ShowEndpoint(*this, static_cast<int>(i));
    PublishConsoleIdentity(*this, model, ChosenHidLink());
    PollChannelMask(*this, ChosenHidLink());
}

void CConsoleSupervisor::TearDownBridge() {
    m_bBridgeStop.exchange(1);
    if (m_hBridgeThread != INVALID_HANDLE_VALUE) {
        if (WaitForSingleObject(m_hBridgeThread, kThreadStopWaitMs) != WAIT_OBJECT_0) {
            // The bridge thread still runs and uses the devices and the bridge: keep both alive and look
            // again on the next pass rather than pull them from under it.
            return;
        }
        CloseHandle(m_hBridgeThread);
        m_hBridgeThread = INVALID_HANDLE_VALUE;
    }
    m_StreamManager.DestroyAll();
    delete m_pBridge;
    m_pBridge = nullptr;
    m_BridgeOpenedMs = 0;
    MarkDisconnected();
}

ConsoleHidLink& CConsoleSupervisor::ChosenHidLink() {
    if (m_pBridge) {
        CKSDevice* render = m_pBridge->m_Render.m_pDevice;
        if (render && render->m_HidLink.IsOpen()) return render->m_HidLink;
        if (CKSDevice* capture = m_pBridge->m_Capture.m_pDevice) return capture->m_HidLink;
    }
    return m_StreamManager.SpareHidLink();
}

DiagSnapshot CConsoleSupervisor::IdleDiagSnapshot() const {
    DiagSnapshot s;
    s.periodFrames = m_Channel.BufferFrames() / 2;
    s.latencyMultiplier = m_LatencyMultiplier;
    s.driftCorrection = m_DriftCorrection;
    return s;
}

DiagSnapshot CConsoleSupervisor::TakeDiagSnapshot() const {
    DiagSnapshot s = IdleDiagSnapshot();
    if (!m_pBridge || !m_pBridge->m_Render.m_pDevice) return s;
    s.bridgeState = m_bTransferGate.load() ? EDiagBridgeState::Streaming : EDiagBridgeState::Opening;
    s.bridgeOpenedMs = m_BridgeOpenedMs;
    s.driverAnswers = m_DriverAnswers.load(std::memory_order_relaxed);
    s.captureFlow = ReadFlowFigures(m_Figures.capture);
    s.renderFlow = ReadFlowFigures(m_Figures.render);
    DescribeFlow(m_pBridge->m_Capture, s.captureFlow, s.capture);
    DescribeFlow(m_pBridge->m_Render, s.renderFlow, s.render);
    const CUSBDevice* model = m_pCurrentModel.load();
    if (model) s.model = model->DisplayName();
    for (std::uint32_t i = 0; i < kDiagnosticsPaths; ++i) {
        const DriverStreamSlot& slot = m_Channel.Slot(static_cast<int>(i));
        const bool opened = slot.m_bOpen && slot.m_OpenBlock.BufferAddress != 0 && slot.m_OpenBlock.BufferLength != 0;
        s.streamChannels[i] = opened ? slot.m_OpenBlock.Channels : 0;
        s.streamUsed[i] = model && model->UsesStream(static_cast<std::int32_t>(i));
    }
    return s;
}

void CConsoleSupervisor::PublishDiagnostics() {
    DiagnosticsRecord* shared = m_Diagnostics.Record();
    if (!shared) return;
    DiagnosticsRecord fresh;
    BuildDiagnosticsRecord(TakeDiagSnapshot(), fresh);
    PublishDiagnosticsRecord(*shared, fresh);
}

void CConsoleSupervisor::PublishIdleDiagnostics() {
    DiagnosticsRecord* shared = m_Diagnostics.Record();
    if (!shared) return;
    DiagnosticsRecord fresh;
    BuildDiagnosticsRecord(IdleDiagSnapshot(), fresh);
    PublishDiagnosticsRecord(*shared, fresh);
}
