// The service manager as a service sees it: which controls reach its handler in which state, and when
// the dispatcher returns. The suite's own program is installed and started as the service; the two
// sides meet through the registry.
#include "tests/conformance/conformance.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr WCHAR kServiceName[] = WSTR("QuillonConformanceService");
constexpr char kKey[] = "SOFTWARE\\QuillonConformance\\Service";
constexpr DWORD kUserControl = 200;

// ---- registry: the service's reports and the test's go-ahead ----

void PutDword(const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

DWORD GetDword(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0;
    RegCloseKey(key);
    return value;
}

template <class Condition>
bool WaitFor(DWORD ms, Condition condition) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

// ---- the service side ----

SERVICE_STATUS_HANDLE g_status = nullptr;
volatile LONG g_mainReturned = 0;
DWORD g_controlCount = 0;

void Report(DWORD state, DWORD accepted) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, 0, 0};
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    // Each control the handler receives, in order: "Control1", "Control2", ...
    char name[16];
    std::strcpy(name, "Control0");
    name[7] = static_cast<char>('1' + g_controlCount++);
    PutDword(name, control);
    if (control == SERVICE_CONTROL_STOP) Report(SERVICE_STOP_PENDING, 0);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_status = RegisterServiceCtrlHandlerExW(kServiceName, Handler, nullptr);
    Report(SERVICE_START_PENDING, 0);
    PutDword("Registered", 1);
    WaitFor(20000, [] { return GetDword("Step") >= 1; });
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitFor(20000, [] { return GetDword("Step") >= 2; });
    Report(SERVICE_STOPPED, 0);
    Sleep(500);  // still busy after its last report: the dispatcher does not wait for this
    g_mainReturned = 1;
}

int ServiceEntry() {
    static WCHAR name[64];
    lstrcpynW(name, kServiceName, 64);
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    const BOOL ok = StartServiceCtrlDispatcherW(table);
    PutDword("MainReturnedFirst", g_mainReturned ? 1 : 0);
    PutDword("DispatcherReturned", ok ? 1 : 2);
    return ok ? 0 : static_cast<int>(GetLastError());
}

const conformance::ServiceProgram g_program(ServiceEntry);

// ---- the test side ----

DWORD StateOf(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

}  // namespace

CONFORMANCE_TEST(ServiceManager, ControlsReachTheHandlerOnlyWhenAcceptedAndTheDispatcherReturnsOnStopped) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    CHECK(manager != nullptr);
    if (!manager) return;
    if (SC_HANDLE old = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS)) {  // an earlier run's
        DeleteService(old);
        CloseServiceHandle(old);
    }
    for (const char* name : {"Step", "Registered", "DispatcherReturned", "MainReturnedFirst", "Control1", "Control2",
                             "Control3", "Control4"})
        PutDword(name, 0);

    WCHAR commandLine[300];
    conformance::ServiceCommandLine(commandLine, 300);
    SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    CHECK(service != nullptr);
    if (!service) {
        CloseServiceHandle(manager);
        return;
    }
    SetLastError(0);
    CHECK_EQ(CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine, nullptr, nullptr, nullptr, nullptr,
                            nullptr),
             nullptr);
    CHECK_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

    SERVICE_STATUS status{};
    SetLastError(0);
    CHECK(!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));  // not started
    CHECK_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

    CHECK(StartServiceW(service, 0, nullptr));
    CHECK(WaitFor(20000, [] { return GetDword("Registered") == 1; }));
    CHECK_EQ(StateOf(service), SERVICE_START_PENDING);
    // While start is pending nothing gets through.
    SetLastError(0);
    CHECK(!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    SetLastError(0);
    const BOOL stopWhileStarting = ControlService(service, SERVICE_CONTROL_STOP, &status);
    CONFORMANCE_DOCUMENTED(!stopWhileStarting && GetLastError() == ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
                           "no control, stop included, reaches a service while its start is pending");

    PutDword("Step", 1);
    CHECK(WaitFor(20000, [&] { return StateOf(service) == SERVICE_RUNNING; }));
    // Running and accepting stop only: pause is refused; interrogate and user controls get through.
    SetLastError(0);
    CHECK(!ControlService(service, SERVICE_CONTROL_PAUSE, &status));
    CHECK_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    CHECK(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    CHECK_EQ(status.dwCurrentState, SERVICE_RUNNING);
    CHECK(ControlService(service, kUserControl, &status));
    CHECK(ControlService(service, SERVICE_CONTROL_STOP, &status));
    CHECK_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);  // reported by the handler before it returned
    // A second stop while stop is pending is refused.
    SetLastError(0);
    CHECK(!ControlService(service, SERVICE_CONTROL_STOP, &status));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);

    // What the handler received: interrogate (the manager may answer some itself: then fewer), the
    // user control and stop, never pause.
    DWORD received[4] = {GetDword("Control1"), GetDword("Control2"), GetDword("Control3"), GetDword("Control4")};
    bool sawUser = false, sawStop = false, sawPause = false;
    for (DWORD control : received) {
        sawUser = sawUser || control == kUserControl;
        sawStop = sawStop || control == SERVICE_CONTROL_STOP;
        sawPause = sawPause || control == SERVICE_CONTROL_PAUSE;
    }
    CHECK(sawUser);
    CHECK(sawStop);
    CHECK(!sawPause);

    // Once the service reports stopped, the dispatcher returns though its service main function is
    // still busy.
    PutDword("Step", 2);
    CHECK(WaitFor(20000, [&] { return StateOf(service) == SERVICE_STOPPED; }));
    CHECK(WaitFor(20000, [] { return GetDword("DispatcherReturned") != 0; }));
    CHECK_EQ(GetDword("DispatcherReturned"), 1u);
    CHECK_EQ(GetDword("MainReturnedFirst"), 0u);
    SetLastError(0);
    CHECK(!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

    CHECK(DeleteService(service));
    CHECK(CloseServiceHandle(service));
    CHECK(CloseServiceHandle(manager));
}
