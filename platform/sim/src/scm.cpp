#include "platform/sim/include/sim/scm.h"

#include <cstdio>

#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {

namespace {
const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "?";
    }
}
}  // namespace

ServiceManager::Service* ServiceManager::Find(const std::string& name) {
    auto it = services_.find(name);
    return it == services_.end() ? nullptr : it->second.get();
}

ServiceManager::Service* ServiceManager::ForCurrentProcess() {
    ThreadRec* t = machine_.CurrentThread();
    if (!t || !t->process) return nullptr;
    for (auto& [name, s] : services_) {
        if (s->process.get() == t->process) return s.get();
        // Start() records the process only once StartProcess has returned, and by then the process's
        // main thread may already be in the dispatcher: recognise it by the service it was started for.
        if ((!s->process || s->process->exited) && !t->process->exited && t->process->serviceName == s->name)
            return s.get();
    }
    return nullptr;
}

void ServiceManager::Install(const std::string& name, ProgramSpec program) {
    std::lock_guard lock(machine_.Mutex());
    auto s = std::make_unique<Service>();
    s->name = name;
    s->program = std::move(program);
    s->program.serviceName = name;
    services_[name] = std::move(s);
}

bool ServiceManager::Start(const std::string& name) {
    ProgramSpec spec;
    {
        std::lock_guard lock(machine_.Mutex());
        Service* s = Find(name);
        if (!s || (s->process && !s->process->exited)) return false;
        s->handler = nullptr;
        s->context = nullptr;
        s->queue.clear();
        s->stoppedReported = false;
        s->abandoned = false;
        s->status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
        spec = s->program;
    }
    machine_.AddNote("scm", "starting service \"" + name + "\"");
    auto process = machine_.StartProcess(spec);
    std::lock_guard lock(machine_.Mutex());
    Find(name)->process = process;
    return true;
}

DWORD ServiceManager::Admission(const SERVICE_STATUS& status, DWORD control) {
    switch (status.dwCurrentState) {
        case SERVICE_STOPPED:
            return ERROR_SERVICE_NOT_ACTIVE;
        case SERVICE_START_PENDING:
        case SERVICE_STOP_PENDING:
            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        default:
            break;
    }
    DWORD needed = 0;
    switch (control) {
        case SERVICE_CONTROL_STOP: needed = SERVICE_ACCEPT_STOP; break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: needed = SERVICE_ACCEPT_PAUSE_CONTINUE; break;
        case SERVICE_CONTROL_INTERROGATE: return ERROR_SUCCESS;
        case SERVICE_CONTROL_SHUTDOWN: needed = SERVICE_ACCEPT_SHUTDOWN; break;
        case SERVICE_CONTROL_PARAMCHANGE: needed = SERVICE_ACCEPT_PARAMCHANGE; break;
        case SERVICE_CONTROL_PRESHUTDOWN: needed = SERVICE_ACCEPT_PRESHUTDOWN; break;
        default:
            if (control >= SERVICE_CONTROL_NETBINDADD && control <= SERVICE_CONTROL_NETBINDDISABLE)
                needed = SERVICE_ACCEPT_NETBINDCHANGE;
            else if (control >= 128 && control <= 255)
                return ERROR_SUCCESS;  // user-defined controls
            else
                return ERROR_INVALID_SERVICE_CONTROL;  // the system's own notifications cannot be sent
    }
    return (status.dwControlsAccepted & needed) ? ERROR_SUCCESS : ERROR_INVALID_SERVICE_CONTROL;
}

DWORD ServiceManager::Control(const std::string& name, DWORD control) { return Deliver(name, control, true); }

DWORD ServiceManager::CallHandler(const std::string& name, DWORD control) { return Deliver(name, control, false); }

DWORD ServiceManager::Deliver(const std::string& name, DWORD control, bool checked) {
    auto request = std::make_shared<Request>();
    request->control = control;
    request->done = std::make_shared<Event>(true, false);
    std::shared_ptr<Process> process;
    {
        std::lock_guard lock(machine_.Mutex());
        Service* s = Find(name);
        if (!s) return ERROR_SERVICE_NOT_ACTIVE;
        if (checked) {
            const DWORD refused = Admission(s->status, control);
            if (refused != ERROR_SUCCESS) return refused;
        }
        if (!s->handler || !s->dispatcherRunning) return ERROR_SERVICE_NOT_ACTIVE;
        s->queue.push_back(request);
        machine_.SetEventLocked(*s->queueEvent);
        process = s->process;
    }
    // Wait for the handler's answer, or for the process to go away without answering.
    if (machine_.WaitObjects({request->done, process}, false, kNever) != WAIT_OBJECT_0)
        return ERROR_SERVICE_NOT_ACTIVE;
    return request->result;
}

void ServiceManager::Abandon(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Service* s = Find(name);
    if (!s) return;
    s->abandoned = true;
    machine_.SetEventLocked(*s->queueEvent);
}

SERVICE_STATUS ServiceManager::Status(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Service* s = Find(name);
    return s ? s->status : SERVICE_STATUS{};
}

std::vector<SERVICE_STATUS> ServiceManager::History(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Service* s = Find(name);
    return s ? s->history : std::vector<SERVICE_STATUS>{};
}

bool ServiceManager::WaitForState(const std::string& name, DWORD state, std::uint32_t maxMs) {
    return machine_.RunUntil([&] { return Status(name).dwCurrentState == state; }, maxMs);
}

bool ServiceManager::ProcessExited(const std::string& name, DWORD* exitCode) {
    std::lock_guard lock(machine_.Mutex());
    Service* s = Find(name);
    if (!s || !s->process || !s->process->exited) return false;
    if (exitCode) *exitCode = s->process->exitCode;
    return true;
}

std::shared_ptr<Process> ServiceManager::ProcessOf(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Service* s = Find(name);
    return s ? s->process : nullptr;
}

BOOL ServiceManager::RunDispatcher(const SERVICE_TABLE_ENTRYW* table) {
    Service* s;
    LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
    std::shared_ptr<Event> queueEvent;
    {
        std::lock_guard lock(machine_.Mutex());
        s = ForCurrentProcess();
        if (s && table) {
            for (const SERVICE_TABLE_ENTRYW* row = table; row->lpServiceName; ++row)
                if (Narrow(row->lpServiceName) == s->name) serviceMain = row->lpServiceProc;
        }
        if (!s || !serviceMain || s->dispatcherRunning) {
            SetError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        s->dispatcherRunning = true;
        queueEvent = s->queueEvent;
    }
    HANDLE mainThread = machine_.StartThread(
        [serviceMain] {
            serviceMain(0, nullptr);
            return 0u;
        },
        nullptr);
    auto mainObject = machine_.LookupAs<Waitable>(mainThread);
    // The dispatcher returns once the process's service has reported SERVICE_STOPPED, whether or not its
    // service main function has returned; a service main that returns without that report leaves the
    // dispatcher waiting, as on Windows (until the manager gives up on the process: Abandon).
    bool abandoned = false;
    bool mainReturned = false;
    for (;;) {
        std::vector<std::shared_ptr<Waitable>> wakers{queueEvent};
        if (!mainReturned) wakers.push_back(mainObject);
        const DWORD r = machine_.WaitObjects(wakers, false, kNever);
        if (r == WAIT_OBJECT_0 + 1) mainReturned = true;
        for (;;) {
            std::shared_ptr<Request> request;
            LPHANDLER_FUNCTION_EX handler;
            LPVOID context;
            {
                std::lock_guard lock(machine_.Mutex());
                if (s->queue.empty()) break;
                request = s->queue.front();
                s->queue.pop_front();
                handler = s->handler;
                context = s->context;
            }
            char text[64];
            std::snprintf(text, sizeof text, "control %u delivered", request->control);
            machine_.AddNote("scm", text);
            request->result = handler ? handler(request->control, 0, nullptr, context) : ERROR_SERVICE_NOT_ACTIVE;
            std::lock_guard lock(machine_.Mutex());
            machine_.SetEventLocked(*request->done);
        }
        std::lock_guard lock(machine_.Mutex());
        if (s->abandoned) {
            abandoned = true;
            break;
        }
        if (s->stoppedReported) break;
    }
    // A service main function on its way out after its last report (releasing its lock, returning) gets
    // to finish before the process's state goes: the shortest wait, which on the virtual clock ends only
    // once it has returned or blocks. One that blocks or sleeps is left behind, as on Windows, where the
    // process's end would stop it.
    // (On the real clock the wait cannot tell running from blocked: it gives the thread a second.)
    if (!mainReturned)
        machine_.WaitObjects({mainObject}, false, machine_.Mode() == ClockMode::Virtual ? 1 : 1000 * kTicksPerMs);
    machine_.CloseHandleValue(mainThread);
    std::lock_guard lock(machine_.Mutex());
    s->dispatcherRunning = false;
    s->handler = nullptr;
    s->abandoned = false;
    for (auto& pending : s->queue) {
        pending->result = ERROR_SERVICE_NOT_ACTIVE;
        machine_.SetEventLocked(*pending->done);
    }
    s->queue.clear();
    if (abandoned) {
        SetError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE ServiceManager::RegisterHandler(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    DWORD err;
    if (machine_.TakeFailure("RegisterServiceCtrlHandlerExW", &err)) {
        SetError(err);
        return nullptr;
    }
    std::lock_guard lock(machine_.Mutex());
    Service* s = ForCurrentProcess();
    if (!s || !name || Narrow(name) != s->name || !handler) {
        SetError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    s->handler = handler;
    s->context = context;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(s);
}

BOOL ServiceManager::ReportStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    std::string name;
    {
        std::lock_guard lock(machine_.Mutex());
        Service* s = nullptr;
        for (auto& [n, candidate] : services_)
            if (reinterpret_cast<SERVICE_STATUS_HANDLE>(candidate.get()) == handle) s = candidate.get();
        if (!s || !status) {
            SetError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // A state outside 1..7 is refused, as the manager refuses it.
        if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED) {
            SetError(ERROR_INVALID_DATA);
            return FALSE;
        }
        s->status = *status;
        s->history.push_back(*status);
        name = s->name;
        if (status->dwCurrentState == SERVICE_STOPPED) {
            s->stoppedReported = true;  // the dispatcher may now return
            machine_.SetEventLocked(*s->queueEvent);
        }
    }
    char text[200];
    if (status->dwCurrentState == SERVICE_STOPPED && status->dwWin32ExitCode != 0)
        std::snprintf(text, sizeof text, "\"%s\" reports %s (exit code %u, service-specific %u)", name.c_str(),
                      StateName(status->dwCurrentState), status->dwWin32ExitCode, status->dwServiceSpecificExitCode);
    else
        std::snprintf(text, sizeof text, "\"%s\" reports %s (controls accepted %u, check point %u, wait hint %u)",
                      name.c_str(), StateName(status->dwCurrentState), status->dwControlsAccepted,
                      status->dwCheckPoint, status->dwWaitHint);
    machine_.AddNote("scm", text);
    return TRUE;
}

namespace {

// A client's handle to the manager (empty name) or to one service.
class ServiceHandleObject final : public Object {
public:
    explicit ServiceHandleObject(std::string service) : name(std::move(service)) {}
    const char* TypeName() const override { return "ServiceHandle"; }
    std::string name;
};

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The program's file name in a service command line: `"C:\dir\prog.exe" args` or `C:\dir\prog.exe args`.
std::string ProgramFileName(const std::string& commandLine) {
    std::string path;
    if (!commandLine.empty() && commandLine[0] == '"') {
        const std::size_t end = commandLine.find('"', 1);
        path = commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    } else {
        path = commandLine.substr(0, commandLine.find(' '));
    }
    const std::size_t slash = path.find_last_of("\\/");
    return LowerAscii(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace

void ServiceManager::AddProgram(const std::string& fileName, ProgramSpec program) {
    std::lock_guard lock(machine_.Mutex());
    programs_[LowerAscii(fileName)] = std::move(program);
}

bool ServiceManager::ClientHandle(SC_HANDLE handle, std::string* service) {
    auto object = machine_.LookupAs<ServiceHandleObject>(reinterpret_cast<HANDLE>(handle));
    if (!object) return false;
    *service = object->name;
    return true;
}

SC_HANDLE ServiceManager::OpenManager() {
    return reinterpret_cast<SC_HANDLE>(machine_.AddHandle(std::make_shared<ServiceHandleObject>("")));
}

SC_HANDLE ServiceManager::CreateService(SC_HANDLE manager, LPCWSTR name, LPCWSTR commandLine) {
    std::string managerName;
    if (!ClientHandle(manager, &managerName) || !managerName.empty()) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!name || !commandLine) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string serviceName = Narrow(name);
    {
        std::lock_guard lock(machine_.Mutex());
        if (Find(serviceName)) {
            SetError(ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        ProgramSpec program;
        auto it = programs_.find(ProgramFileName(Narrow(commandLine)));
        if (it != programs_.end()) program = it->second;
        auto s = std::make_unique<Service>();
        s->name = serviceName;
        s->program = std::move(program);
        s->program.serviceName = serviceName;
        services_[serviceName] = std::move(s);
    }
    return reinterpret_cast<SC_HANDLE>(machine_.AddHandle(std::make_shared<ServiceHandleObject>(serviceName)));
}

SC_HANDLE ServiceManager::OpenService(SC_HANDLE manager, LPCWSTR name) {
    std::string managerName;
    if (!ClientHandle(manager, &managerName) || !managerName.empty()) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::string serviceName = name ? Narrow(name) : std::string();
    {
        std::lock_guard lock(machine_.Mutex());
        if (!Find(serviceName)) {
            SetError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
    }
    return reinterpret_cast<SC_HANDLE>(machine_.AddHandle(std::make_shared<ServiceHandleObject>(serviceName)));
}

BOOL ServiceManager::StartService(SC_HANDLE service) {
    std::string name;
    if (!ClientHandle(service, &name) || name.empty()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(machine_.Mutex());
        Service* s = Find(name);
        if (!s) {
            SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return FALSE;
        }
        if (s->process && !s->process->exited) {
            SetError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        if (!s->program.entry) {
            SetError(ERROR_FILE_NOT_FOUND);  // no such program on the disk
            return FALSE;
        }
    }
    return Start(name) ? TRUE : FALSE;
}

BOOL ServiceManager::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    std::string name;
    if (!ClientHandle(service, &name) || name.empty()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD result = Control(name, control);
    if (status) *status = Status(name);
    if (result != NO_ERROR) {
        SetError(result);
        return FALSE;
    }
    return TRUE;
}

BOOL ServiceManager::QueryStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    std::string name;
    if (!ClientHandle(service, &name) || name.empty() || !status) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(machine_.Mutex());
        if (!Find(name)) {
            SetError(ERROR_SERVICE_DOES_NOT_EXIST);
            return FALSE;
        }
    }
    *status = Status(name);
    return TRUE;
}

BOOL ServiceManager::DeleteService(SC_HANDLE service) {
    std::string name;
    if (!ClientHandle(service, &name) || name.empty()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(machine_.Mutex());
    auto it = services_.find(name);
    if (it == services_.end()) {
        SetError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    // A service still running is removed once it stops; the sim keeps its record until the machine goes.
    if (!it->second->process || it->second->process->exited) services_.erase(it);
    return TRUE;
}

BOOL ServiceManager::CloseServiceHandle(SC_HANDLE handle) {
    std::string name;
    if (!ClientHandle(handle, &name) || !machine_.CloseHandleValue(reinterpret_cast<HANDLE>(handle))) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace sim

SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) { return sim::Machine::Current().Scm().OpenManager(); }

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR commandLine,
                         LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
    return sim::Machine::Current().Scm().CreateService(manager, name, commandLine);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD) {
    return sim::Machine::Current().Scm().OpenService(manager, name);
}

BOOL StartServiceW(SC_HANDLE service, DWORD, LPCWSTR*) { return sim::Machine::Current().Scm().StartService(service); }

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return sim::Machine::Current().Scm().ControlService(service, control, status);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    return sim::Machine::Current().Scm().QueryStatus(service, status);
}

BOOL DeleteService(SC_HANDLE service) { return sim::Machine::Current().Scm().DeleteService(service); }

BOOL CloseServiceHandle(SC_HANDLE handle) { return sim::Machine::Current().Scm().CloseServiceHandle(handle); }

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
    return sim::Machine::Current().Scm().RunDispatcher(table);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
    return sim::Machine::Current().Scm().RegisterHandler(name, handler, context);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    return sim::Machine::Current().Scm().ReportStatus(handle, status);
}
