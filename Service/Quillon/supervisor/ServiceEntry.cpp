#include "Service/Quillon/supervisor/ServiceEntry.h"

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"

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
    });

    p.m_pStopEvent = new CEvent();
    const uintptr_t worker = _beginthreadex(nullptr, 0, ServiceWorkerThread, p.m_pStopEvent, 0, nullptr);

    ReportStatus([](SERVICE_STATUS& s) {
        s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        s.dwCurrentState = SERVICE_RUNNING;
    });

    if (worker) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(worker), INFINITE);
        CloseHandle(reinterpret_cast<HANDLE>(worker));
    }
    ReportStatus([](SERVICE_STATUS& s) {
        s.dwCurrentState = SERVICE_STOPPED;
        s.dwControlsAccepted = 0;
        s.dwCheckPoint = 3;
    });
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
                    s.dwCheckPoint = 4;
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
    // pseudo handle, never ends): it ends at once, and the service passes from running to stopped.
    if (!stopEvent || stopEvent->Handle() == INVALID_HANDLE_VALUE) return 0;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    // A supervisor without the driver, or whose loop could not start, or that lost the driver since, is
    // discarded and built again about once a second.
    CConsoleSupervisor* supervisor = new CConsoleSupervisor();
    for (;;) {
        if (supervisor && !supervisor->Running()) {
            delete supervisor;
            supervisor = nullptr;
        }
        DWORD wait;
        while ((wait = WaitForSingleObject(stopEvent->Handle(), 1000)) == WAIT_TIMEOUT && supervisor &&
               supervisor->Running()) {
        }
        if (wait != WAIT_TIMEOUT) break;
        if (!supervisor) supervisor = new CConsoleSupervisor();
    }
    delete supervisor;
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}
