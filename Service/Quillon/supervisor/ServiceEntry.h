// The service program's outer shell: program entry, service main function, control handler and the
// worker thread that owns the console supervisor.
#pragma once

#include <atomic>

#include "Service/Quillon/supervisor/Event.h"
#include "Service/common/CountedLock.h"
#include "platform/win32.h"

inline constexpr const char kServiceNameText[] = "Quillon Virtual Device Driver";

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
