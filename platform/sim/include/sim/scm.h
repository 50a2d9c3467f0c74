// The simulated service control manager: installs services, starts them as simulated processes, runs
// their dispatcher, delivers controls to their handlers and records every status report.
#pragma once

#include <deque>

#include "platform/sim/include/sim/machine.h"

namespace sim {

class ServiceManager {
public:
    explicit ServiceManager(Machine& machine) : machine_(machine) {}

    void Install(const std::string& name, ProgramSpec program);
    // Starts the installed service's program; false when unknown or already running.
    bool Start(const std::string& name);
    // Sends a control as ControlService does: delivered to the service's registered handler on its
    // dispatcher thread, and the handler's answer returned, only when the service's last reported state
    // and controls accepted allow it. ERROR_SERVICE_NOT_ACTIVE when no handler is registered or the
    // service stopped; ERROR_SERVICE_CANNOT_ACCEPT_CTRL while start or stop is pending;
    // ERROR_INVALID_SERVICE_CONTROL for a control the service does not accept (interrogate and the
    // user-defined controls 128..255 are always accepted).
    DWORD Control(const std::string& name, DWORD control);
    // Calls the registered handler with any control on the dispatcher thread, past the manager's checks,
    // as the system itself does for its own notifications (a test's way of reaching the handler directly).
    DWORD CallHandler(const std::string& name, DWORD control);
    // Stands for the service manager terminating a service process that never reports stopped: its
    // dispatcher call ends (FALSE, ERROR_SERVICE_NOT_ACTIVE) so the simulated process can end.
    void Abandon(const std::string& name);
    SERVICE_STATUS Status(const std::string& name);
    std::vector<SERVICE_STATUS> History(const std::string& name);
    bool WaitForState(const std::string& name, DWORD state, std::uint32_t maxMs);
    // True once the service's process has exited; `exitCode` receives its exit code.
    bool ProcessExited(const std::string& name, DWORD* exitCode = nullptr);
    std::shared_ptr<Process> ProcessOf(const std::string& name);

    // Programs on the machine's disk, by file name (case-insensitive), for services created through the
    // client calls (CreateServiceW names the program by its command line).
    void AddProgram(const std::string& fileName, ProgramSpec program);

    // Win32 side.
    BOOL RunDispatcher(const SERVICE_TABLE_ENTRYW* table);
    SC_HANDLE OpenManager();
    SC_HANDLE CreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR commandLine);
    SC_HANDLE OpenService(SC_HANDLE manager, LPCWSTR name);
    BOOL StartService(SC_HANDLE service);
    BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
    BOOL QueryStatus(SC_HANDLE service, LPSERVICE_STATUS status);
    BOOL DeleteService(SC_HANDLE service);
    BOOL CloseServiceHandle(SC_HANDLE handle);
    SERVICE_STATUS_HANDLE RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);
    BOOL ReportStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

private:
    struct Request {
        DWORD control;
        std::shared_ptr<Event> done;
        DWORD result = 0;
    };
    struct Service {
        std::string name;
        ProgramSpec program;
        std::shared_ptr<Process> process;
        LPHANDLER_FUNCTION_EX handler = nullptr;
        LPVOID context = nullptr;
        SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
        std::vector<SERVICE_STATUS> history;
        std::deque<std::shared_ptr<Request>> queue;
        std::shared_ptr<Event> queueEvent = std::make_shared<Event>(false, false);
        bool dispatcherRunning = false;
        bool abandoned = false;
        bool stoppedReported = false;  // SERVICE_STOPPED reported since the last start
    };
    // Whether the manager lets `control` through in the service's current status; the error if not.
    static DWORD Admission(const SERVICE_STATUS& status, DWORD control);
    DWORD Deliver(const std::string& name, DWORD control, bool checked);
    Service* Find(const std::string& name);  // lock held
    Service* ForCurrentProcess();            // lock held

    // The service a client handle names ("" for the manager's own handle); false for no such handle.
    bool ClientHandle(SC_HANDLE handle, std::string* service);

    Machine& machine_;
    std::map<std::string, std::unique_ptr<Service>> services_;
    std::map<std::string, ProgramSpec> programs_;  // by lower-case file name
};

}  // namespace sim
