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
    // Delivers a control to the service's registered handler on its dispatcher thread and returns the
    // handler's answer; ERROR_SERVICE_NOT_ACTIVE when no handler is registered or the service stopped.
    DWORD Control(const std::string& name, DWORD control);
    SERVICE_STATUS Status(const std::string& name);
    std::vector<SERVICE_STATUS> History(const std::string& name);
    bool WaitForState(const std::string& name, DWORD state, std::uint32_t maxMs);
    // True once the service's process has exited; `exitCode` receives its exit code.
    bool ProcessExited(const std::string& name, DWORD* exitCode = nullptr);
    std::shared_ptr<Process> ProcessOf(const std::string& name);

    // Win32 side.
    BOOL RunDispatcher(const SERVICE_TABLE_ENTRYW* table);
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
    };
    Service* Find(const std::string& name);  // lock held
    Service* ForCurrentProcess();            // lock held

    Machine& machine_;
    std::map<std::string, std::unique_ptr<Service>> services_;
};

}  // namespace sim
