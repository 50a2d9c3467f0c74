#include "Service/Quillon/supervisor/ServiceEntry.h"

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "Service/common/DiagnosticsMapping.h"

namespace {

CServiceProcess& Process() { return ProcessGlobal<CServiceProcess>(); }

WCHAR g_ServiceName[] = WSTR("Quillon Virtual Device Driver");

// Changes the recorded status under the status lock and reports it.
template <class Change>
void ReportStatus(Change change) {
    CServiceProcess& p = Process();
    CLockGuard guard(p.m_StatusLock);
    change(p.m_Status);
    p.m_RecordedState.store(p.m_Status.dwCurrentState);
    SetServiceStatus(p.m_hStatus, &p.m_Status);
}

// The last report: stopped, with the cause as the service-specific exit code unless it is a clean stop.
void ReportStopped(DWORD exit) {
    ReportStatus([exit](SERVICE_STATUS& s) {
        s.dwCurrentState = SERVICE_STOPPED;
        s.dwControlsAccepted = 0;
        s.dwCheckPoint = 0;
        s.dwWaitHint = 0;
        s.dwWin32ExitCode = exit == kServiceExitClean ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        s.dwServiceSpecificExitCode = exit;
    });
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Process().m_hInstance = instance;
    const SERVICE_TABLE_ENTRYW table[] = {{g_ServiceName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    CServiceProcess& p = Process();
    p.m_hStatus = RegisterServiceCtrlHandlerExW(g_ServiceName, ServiceControlHandler, nullptr);
    if (!p.m_hStatus) return;
    // The KS log stays silent unless an administrator asked for it (read once per start).
    g_ulKsDebugLevel = ReadKsLogLevel();

    ReportStatus([](SERVICE_STATUS& s) {
        s = SERVICE_STATUS{};
        s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        s.dwCurrentState = SERVICE_START_PENDING;
        s.dwCheckPoint = 1;
        s.dwWaitHint = kStartWaitHintMs;
    });

    // Without its stop event the worker could never be told to stop (a wait on -1, the process's own
    // pseudo handle, never ends), and without the worker nothing runs: either ends the start as a failure.
    p.m_pStopEvent = new CEvent();
    if (p.m_pStopEvent->Handle() == INVALID_HANDLE_VALUE) {
        ReportStopped(kServiceExitNoStopEvent);
        return;
    }
    const uintptr_t worker = _beginthreadex(nullptr, 0, ServiceWorkerThread, p.m_pStopEvent, 0, nullptr);
    if (!worker) {
        ReportStopped(kServiceExitWorkerNotStarted);
        return;
    }

    ReportStatus([](SERVICE_STATUS& s) {
        s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        s.dwCurrentState = SERVICE_RUNNING;
        s.dwCheckPoint = 0;
        s.dwWaitHint = 0;
    });

    const HANDLE workerHandle = reinterpret_cast<HANDLE>(worker);
    DWORD progressReports = 0;
    DWORD wait;
    while ((wait = WaitForSingleObject(workerHandle, kStopProgressMs)) == WAIT_TIMEOUT) {
        if (p.m_RecordedState.load() != SERVICE_STOP_PENDING || progressReports == kStopProgressReports) continue;
        ++progressReports;
        ReportStatus([](SERVICE_STATUS& s) { ++s.dwCheckPoint; });
    }
    // Reporting stopped while the worker still tears down would let the process end under it: a wait
    // that failed is made once more without the progress slices.
    if (wait == WAIT_FAILED) wait = WaitForSingleObject(workerHandle, INFINITE);
    DWORD exit = kServiceExitWorkerWaitFailed;
    if (wait == WAIT_OBJECT_0 && !GetExitCodeThread(workerHandle, &exit)) exit = kServiceExitWorkerWaitFailed;
    CloseHandle(workerHandle);
    // A worker that ended while a stop was pending did what was asked, however its wait ended.
    ReportStopped(p.m_RecordedState.load() == SERVICE_STOP_PENDING ? kServiceExitClean : exit);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    CServiceProcess& p = Process();
    switch (control) {
        case SERVICE_CONTROL_STOP:
            if (p.m_RecordedState.load() == SERVICE_RUNNING) {
                ReportStatus([](SERVICE_STATUS& s) {
                    s.dwCurrentState = SERVICE_STOP_PENDING;
                    s.dwControlsAccepted = 0;
                    s.dwWin32ExitCode = 0;
                    s.dwCheckPoint = 1;
                    s.dwWaitHint = kStopWaitHintMs;
                });
                if (p.m_pStopEvent && p.m_pStopEvent->Handle() != INVALID_HANDLE_VALUE)
                    SetEvent(p.m_pStopEvent->Handle());
            }
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

unsigned WINAPI ServiceWorkerThread(void* argument) {
    auto* stopEvent = static_cast<CEvent*>(argument);
    // Without its stop event the worker could never be told to stop (a wait on -1, the process's own
    // pseudo handle, never ends): it ends at once, as a failure.
    if (!stopEvent || stopEvent->Handle() == INVALID_HANDLE_VALUE) return kServiceExitNoStopEvent;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    // A supervisor without the driver, or whose loop could not start, or that lost the driver since, is
    // discarded and built again about once a second.
    // The diagnostics block is each supervisor's, but the worker keeps it open from one supervisor to the
    // next, so that a reader finds it for as long as the service runs (showing no console in between)
    // rather than only in the instants a supervisor without the driver lives.
    CConsoleSupervisor* supervisor = new CConsoleSupervisor();
    CDiagnosticsMapping between;
    DWORD wait = WAIT_FAILED;
    for (;;) {
        if (supervisor && !supervisor->Running()) {
            between = CDiagnosticsMapping::Open(kDiagnosticsBlockName);
            delete supervisor;
            supervisor = nullptr;
        }
        while ((wait = WaitForSingleObject(stopEvent->Handle(), 1000)) == WAIT_TIMEOUT && supervisor &&
               supervisor->Running()) {
        }
        if (wait != WAIT_TIMEOUT) break;
        if (!supervisor) {
            supervisor = new CConsoleSupervisor();
            between.Close();
        }
    }
    between.Close();
    delete supervisor;
    if (SUCCEEDED(com)) CoUninitialize();
    // Signalled: the stop that was asked for. Anything else is a wait that failed.
    return wait == WAIT_OBJECT_0 ? kServiceExitClean : kServiceExitStopWaitFailed;
}
