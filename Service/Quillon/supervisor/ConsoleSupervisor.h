// CConsoleSupervisor: the service's main loop and the owner of everything it holds at run time: the
// virtual driver's control channel, the stream manager, the console bridge, the shared blocks with the
// tray and the two settings. Its loop thread makes one pass every 100 ms: tray exchange, then either the
// console search or the watch over the open bridge.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Service/Quillon/streaming/BlockRouting.h"
#include "Service/Quillon/streaming/BridgeFigures.h"
#include "Service/Quillon/streaming/FlowCorrection.h"
#include "Service/Quillon/streaming/StreamManager.h"
#include "Service/Quillon/supervisor/Diagnostics.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "Service/common/DiagnosticsMapping.h"
#include "Service/common/SharedMemory.h"
#include "platform/win32.h"

class CConsoleSupervisor;
class CUSBDevice;

// One half of a console bridge: the streaming device of one direction and what its callback needs.
struct StreamBinding {
    CKSDevice* m_pDevice = nullptr;
    std::uint32_t m_FramesPerPacket = 0;
    std::uint16_t m_Channels = 0;
    std::uint8_t m_bFirstBlock = 1;
    CConsoleSupervisor* m_pSupervisor = nullptr;
    // The routing's pace (stream thread only): the driver half its last block went by, and when it ended
    // (performance counter).
    std::uint32_t m_LastHalf = 0;
    std::int64_t m_LastBlockEnd = 0;
    FlowCorrection m_Correction;
    CCaptureRoute m_CaptureRoute;  // the capture half's, kept from block to block (stream thread only)
};

// The open console: capture half first (its address is the bridge's), render half second.
struct ConsoleBridge {
    StreamBinding m_Capture;
    StreamBinding m_Render;
};

using AvSetMmThreadCharacteristicsAFn = HANDLE(WINAPI*)(LPCSTR, LPDWORD);
using AvRevertMmThreadCharacteristicsFn = BOOL(WINAPI*)(HANDLE);

class CConsoleSupervisor {
public:
    static constexpr DWORD kLoopPeriodMs = 100;
    static constexpr DWORD kNamingWindowMs = 500;
    static constexpr DWORD kThreadStopWaitMs = 10000;
    // Fresh bridges for a console bridged without its capture pin, before it is left playback only.
    static constexpr std::uint8_t kCaptureRetries = 3;
    // A driver whose clock has not signalled event 4 for this long has stopped (a period is 4 ms at most).
    static constexpr DWORD kDriverSilenceMs = 50;

    CConsoleSupervisor();
    ~CConsoleSupervisor();
    CConsoleSupervisor(const CConsoleSupervisor&) = delete;
    CConsoleSupervisor& operator=(const CConsoleSupervisor&) = delete;

    // Whether the virtual driver's control interface was opened.
    bool HasDevice() const { return m_Channel.IsOpen(); }
    // Whether the supervisor can still do its work: the interface open, the loop running and the driver
    // not lost since (the worker keeps only such supervisors and builds the others again).
    bool Running() const {
        return m_Channel.IsOpen() && m_hLoopThread != INVALID_HANDLE_VALUE && !m_bChannelLost.load();
    }

    void Run();
    void LoadSettings();
    void ApplyLatency();
    ConsoleBridge* OpenConsoleBridge(const char* pattern, std::uint16_t renderChannels, std::uint16_t captureChannels);
    void MarkDisconnected();
    // What follows a console's bridge opening: adopt its model, show the capture endpoints the model
    // uses when the console's capture stream was opened, publish the console's identity and poll its
    // channel mask, over the chosen HID link. The console search calls it; it is also the one way in for
    // a console attached without streaming (a model and an open HID link in the stream manager's spare).
    void AnnounceConsole(const CUSBDevice& model, bool captureOpened);
    // What the diagnostics view shows (the loop thread's, or the constructing and destroying thread's
    // while no loop thread runs): no bridge with the settings and the driver's period, or the open
    // bridge; and their publication into the diagnostics block.
    DiagSnapshot IdleDiagSnapshot() const;
    DiagSnapshot TakeDiagSnapshot() const;
    void PublishDiagnostics();
    void PublishIdleDiagnostics();

    HANDLE m_hLoopThread = INVALID_HANDLE_VALUE;
    unsigned m_LoopThreadId = 0;
    HANDLE m_hBridgeThread = INVALID_HANDLE_VALUE;
    unsigned m_BridgeThreadId = 0;
    CVirtualDriverChannel m_Channel;
    CStreamManager m_StreamManager;
    ConsoleBridge* m_pBridge = nullptr;
    std::uint8_t m_RenamePending[kVirtualStreamCount] = {};
    std::atomic<std::uint8_t> m_bLoopStop{0};
    std::atomic<std::uint8_t> m_bBridgeStop{0};
    std::atomic<std::uint64_t> m_CaptureProgress{0};
    std::atomic<std::uint64_t> m_RenderProgress{0};
    std::atomic<std::uint8_t> m_bTransferGate{0};
    // Driver events 2 and 4 that came while the bridge waited for them (the driver's clock runs), and their
    // count at the last health check.
    std::atomic<std::uint64_t> m_DriverAnswers{0};
    std::uint64_t m_CheckedDriverAnswers = 0;
    // What the routing measures while a bridge runs (the diagnostics view publishes it), and the
    // "DriftCorrection" setting (1: correct measured drift; 0: copy sample for sample, slips counted).
    BridgeFigures m_Figures;
    std::uint32_t m_DriftCorrection = 1;
    // Set by the first direction that measures drift (or sees a slip) while correction is on: both
    // directions then correct, starting from this drift (console against driver, relative).
    std::atomic<bool> m_bCorrecting{false};
    std::atomic<double> m_MeasuredDrift{0.0};
    DWORD m_LastDriverTick = 0;  // when the search last found event 4 signalled (loop thread)
    std::uint8_t m_CaptureRetries = 0;
    // Set once the driver refused to register the control block: the channel is of no more use.
    std::atomic<std::uint8_t> m_bChannelLost{0};
    std::uint32_t m_LatencyMultiplier = 2;
    std::uint16_t m_ChannelMask = 0;
    std::atomic<const CUSBDevice*> m_pCurrentModel{nullptr};
    std::uint32_t m_Enable = 0;
    std::uint32_t m_Latency = 0;
    std::unique_ptr<CSharedMemoryGlobalWriter> m_pCommandBlock;
    std::unique_ptr<CSharedMemoryWriter> m_pStatusBlock;
    // The diagnostics view: created with the other blocks, written by the loop thread on every pass (by
    // the constructing and destroying thread only while no loop thread runs).
    CDiagnosticsMapping m_Diagnostics;
    std::uint64_t m_BridgeOpenedMs = 0;  // GetTickCount64 when the open bridge was opened; 0 without one
    HINSTANCE m_hInstance = nullptr;
    HMODULE m_hAvrt = nullptr;
    AvSetMmThreadCharacteristicsAFn m_pfnAvSetMmThreadCharacteristicsA = nullptr;
    AvRevertMmThreadCharacteristicsFn m_pfnAvRevertMmThreadCharacteristics = nullptr;

    // The status and command views, or null when a block is missing or unmapped.
    QuillonSharedBlock* StatusView() const { return m_pStatusBlock ? m_pStatusBlock->m_pView : nullptr; }
    QuillonSharedBlock* CommandView() const { return m_pCommandBlock ? m_pCommandBlock->m_pView : nullptr; }

private:
    static unsigned WINAPI LoopThreadProc(void* argument);
    void ExchangeWithTray();
    void WatchBridge(DWORD& checkTime, std::uint64_t& savedCapture, std::uint64_t& savedRender);
    void SearchConsole(DWORD& checkTime, std::uint64_t& savedCapture, std::uint64_t& savedRender);
    void TearDownBridge();
    bool AttachMissingCapture();  // whether a capture device joined the bridge
    void WriteSettings();
    void OpenAllStreams();
    bool ReconfigureChannel();
    void CheckChannel();
    ConsoleHidLink& ChosenHidLink();
    void PublishVersion(QuillonSharedBlock& status);
};
