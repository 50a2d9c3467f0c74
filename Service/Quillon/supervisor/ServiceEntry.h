// The service program's outer shell: program entry, service main function, control handler and the
// worker thread that owns the console supervisor.
#pragma once

#include <atomic>

#include "Service/Quillon/supervisor/Event.h"
#include "Service/common/CountedLock.h"
#include "platform/win32.h"

inline constexpr const char kServiceNameText[] = "Quillon Virtual Device Driver";

// Why the service stopped on its own: its service-specific exit code, reported with the Win32 exit code
// ERROR_SERVICE_SPECIFIC_ERROR so that the service manager counts a failure and applies the recovery
// actions. A stop that was asked for reports 0 and 0.
enum EServiceExit : DWORD {
    kServiceExitClean = 0,
    kServiceExitNoStopEvent = 1,       // the stop event could not be created
    kServiceExitWorkerNotStarted = 2,  // the worker thread could not be started
    kServiceExitStopWaitFailed = 3,    // the worker's wait on the stop event failed
    kServiceExitWorkerWaitFailed = 4,  // the service main function's wait on the worker failed
};

// Pending reports. Start: the stop event and the worker are made without waiting on anything. Stop: the
// worker's teardown of the supervisor waits up to 10 s for its loop thread, and the loop's end up to
// 10 s more for the bridge thread; the first report's hint covers the first wait, and the check point
// then counts up once a second while the teardown stays within both (after that the service is hung,
// and the manager may say so).
inline constexpr DWORD kStartWaitHintMs = 2000;
inline constexpr DWORD kStopWaitHintMs = 12000;
inline constexpr DWORD kStopProgressMs = 1000;
inline constexpr DWORD kStopProgressReports = 22;

// Process-wide state of the service program.
struct CServiceProcess {
    CServiceProcess() = default;
    ~CServiceProcess() { delete m_pStopEvent; }
    CServiceProcess(const CServiceProcess&) = delete;
    CServiceProcess& operator=(const CServiceProcess&) = delete;

    HINSTANCE m_hInstance = nullptr;
    SERVICE_STATUS_HANDLE m_hStatus = nullptr;
    SERVICE_STATUS m_Status{};  // changed only under the status lock
    // The recorded current state, readable without the lock (the control handler tests it first).
    std::atomic<DWORD> m_RecordedState{0};
    CCountedLock m_StatusLock;
    // Published by the service main function before the worker starts; lives as long as the process.
    CEvent* m_pStopEvent = nullptr;
};

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
unsigned WINAPI ServiceWorkerThread(void* stopEvent);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);
