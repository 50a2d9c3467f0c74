// Where the simulated machine follows Windows in ways the conformance suite cannot reach from one
// process: handles per process, a process's handles closed when it ends, the service manager's view of
// a service's states, lock misuse, the clocks' start and wrap, and the notification icon's input.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/shell.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/shell.h"

namespace {

// A program whose entry runs `body` and then waits for `release` (so its handles stay until then).
struct HeldProgram {
    std::function<void()> body;
    std::shared_ptr<sim::Event> release = std::make_shared<sim::Event>(true, false);
};

sim::ProgramSpec Program(HeldProgram& program, const char* name) {
    sim::ProgramSpec spec;
    spec.imageName = name;
    spec.hasVersionResource = false;
    spec.entry = [&program](HINSTANCE) {
        program.body();
        sim::Machine::Current().WaitObjects({program.release}, false, sim::kNever);
        return 0;
    };
    return spec;
}

void Release(sim::Machine& machine, HeldProgram& program) {
    std::lock_guard lock(machine.Mutex());
    machine.SetEventLocked(*program.release);
}

TEST(HandleTables, AHandleIsValidOnlyInItsProcessAndDuplicateHandleCrossesOver) {
    sim::Machine machine;
    HANDLE inFirst = nullptr;
    HeldProgram first{[&] { inFirst = CreateEventW(nullptr, TRUE, FALSE, nullptr); }};
    HANDLE firstProcess = nullptr;
    auto p1 = machine.StartProcess(Program(first, "first.exe"), &firstProcess);
    machine.RunFor(1);
    ASSERT_NE(inFirst, nullptr);

    // The host and a second process see an unknown handle.
    SetLastError(0);
    EXPECT_FALSE(SetEvent(inFirst));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    BOOL setInSecond = TRUE;
    DWORD errorInSecond = 0;
    HeldProgram second{[&] {
        setInSecond = SetEvent(inFirst);
        errorInSecond = GetLastError();
    }};
    auto p2 = machine.StartProcess(Program(second, "second.exe"));
    machine.RunFor(1);
    EXPECT_FALSE(setInSecond);
    EXPECT_EQ(errorInSecond, static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Duplicated out of the first process into the host's, it is the same event.
    HANDLE inHost = nullptr;
    ASSERT_TRUE(DuplicateHandle(firstProcess, inFirst, GetCurrentProcess(), &inHost, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(SetEvent(inHost));
    EXPECT_EQ(machine.HandleCountOf(p1.get()), 1u);
    EXPECT_FALSE(CloseHandle(inFirst));  // still not the host's to close

    Release(machine, first);
    Release(machine, second);
    ASSERT_TRUE(machine.WaitProcess(p1, 1000));
    ASSERT_TRUE(machine.WaitProcess(p2, 1000));
    EXPECT_EQ(WaitForSingleObject(inHost, 0), WAIT_OBJECT_0);  // the host's handle keeps the event
    // A process that has ended is no process to duplicate into.
    HANDLE none = nullptr;
    SetLastError(0);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), inHost, firstProcess, &none, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(inHost);
    CloseHandle(firstProcess);
}

TEST(HandleTables, AProcessThatEndsClosesTheHandlesItStillHolds) {
    sim::Machine machine;
    HeldProgram leaky{[] {
        CreateEventW(nullptr, FALSE, FALSE, nullptr);
        CreateEventW(nullptr, TRUE, TRUE, nullptr);
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 204, "Local\\Leaky");
    }};
    auto process = machine.StartProcess(Program(leaky, "leaky.exe"));
    machine.RunFor(1);
    // Leaks show while the process lives...
    EXPECT_EQ(machine.HandleCountOf(process.get()), 3u);
    EXPECT_EQ(machine.HandleCount("Event"), 2u);
    Release(machine, leaky);
    ASSERT_TRUE(machine.WaitProcess(process, 1000));
    // ...and go with it, objects and all.
    EXPECT_EQ(machine.HandleCountOf(process.get()), 0u);
    EXPECT_EQ(machine.HandleCount("Event"), 0u);
    EXPECT_EQ(process->HandlesAtExit(), 3u);  // what a leak check reads once the process has gone
    EXPECT_EQ(process->handlesAtExit["Event"], 2u);
    EXPECT_EQ(process->handlesAtExit["FileMapping"], 1u);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Local\\Leaky"), nullptr);
}

TEST(LockMisuseDeathTest, LeavingACriticalSectionOneDoesNotOwnAbortsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Machine machine;
            CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        },
        "LeaveCriticalSection of a critical section nobody holds");
    EXPECT_DEATH(
        {
            sim::Machine machine;
            static CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            EnterCriticalSection(&cs);
            HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(
                nullptr, 0, [](void*) -> unsigned {
                    LeaveCriticalSection(&cs);
                    return 0;
                },
                nullptr, 0, nullptr));
            WaitForSingleObject(t, INFINITE);
        },
        "LeaveCriticalSection by a thread that does not own the critical section");
}

TEST(SystemClocks, StartWhereTheTestSaysAndTheMillisecondCountersWrapAt32Bits) {
    sim::Machine machine;
    constexpr std::uint64_t kWrap = std::uint64_t{1} << 32;
    machine.SetClockStart(kWrap - 1500);
    const DWORD before = timeGetTime();
    const ULONGLONG before64 = GetTickCount64();
    LARGE_INTEGER qpcBefore{}, qpcAfter{};
    QueryPerformanceCounter(&qpcBefore);
    EXPECT_EQ(before, 0xFFFFFFFFu - 1499u);
    Sleep(4000);
    EXPECT_EQ(timeGetTime(), 2500u);  // wrapped
    EXPECT_EQ(GetTickCount(), 2500u);
    EXPECT_EQ(GetTickCount64(), kWrap + 2500);
    EXPECT_EQ(static_cast<DWORD>(timeGetTime() - before), 4000u);  // unsigned elapsed time survives it
    EXPECT_EQ(GetTickCount64() - before64, 4000u);
    QueryPerformanceCounter(&qpcAfter);
    EXPECT_EQ(qpcAfter.QuadPart - qpcBefore.QuadPart, 4000 * 10'000);
}

// The notification area's messages for a user's input, by icon version.
struct IconWindow {
    static std::vector<UINT>& Events() {
        static std::vector<UINT> events;
        return events;
    }
    static LRESULT Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_USER + 5) Events().push_back(LOWORD(lParam));
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
};

TEST(NotificationArea, AUsersClicksAndKeysArriveAsTheIconVersionsSequences) {
    sim::Machine machine;
    sim::Shell& shell = sim::ShellOf(machine);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = IconWindow::Proc;
    wc.lpszClassName = u"IconWindow";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, u"IconWindow", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = hwnd;
    nid.uID = 1;
    nid.uFlags = NIF_MESSAGE;
    nid.uCallbackMessage = WM_USER + 5;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &nid));
    auto drain = [&] {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        std::vector<UINT> out;
        out.swap(IconWindow::Events());
        return out;
    };
    using Input = sim::Shell::IconInput;
    ASSERT_TRUE(shell.UserClickIcon(Input::LeftClick));
    EXPECT_EQ(drain(), (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONUP}));
    nid.uVersion = NOTIFYICON_VERSION_4;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_SETVERSION, &nid));
    ASSERT_TRUE(shell.UserClickIcon(Input::LeftClick));
    EXPECT_EQ(drain(), (std::vector<UINT>{WM_LBUTTONDOWN, WM_LBUTTONUP, NIN_SELECT}));
    ASSERT_TRUE(shell.UserClickIcon(Input::RightClick));
    EXPECT_EQ(drain(), (std::vector<UINT>{WM_RBUTTONDOWN, WM_RBUTTONUP, WM_CONTEXTMENU}));
    ASSERT_TRUE(shell.UserClickIcon(Input::Keyboard));
    EXPECT_EQ(drain(), (std::vector<UINT>{NIN_KEYSELECT}));
    ASSERT_TRUE(shell.UserClickIcon(Input::ContextKey));  // Shift+F10 or the menu key
    EXPECT_EQ(drain(), (std::vector<UINT>{WM_CONTEXTMENU}));
    EXPECT_FALSE(shell.UserClickIcon(Input::Keyboard, POINT{0, 0}, 1));  // no second icon

    // Explorer restarts: the icons go, every shell call fails while it is away, and "TaskbarCreated"
    // reaches top-level windows only; a message-only window never hears it.
    wc.lpszClassName = u"TopWindow";
    RegisterClassExW(&wc);
    HWND top = CreateWindowExW(0, u"TopWindow", nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    const UINT taskbarCreated = RegisterWindowMessageW(u"TaskbarCreated");
    EXPECT_GE(taskbarCreated, 0xC000u);
    EXPECT_EQ(RegisterWindowMessageW(u"taskbarcreated"), taskbarCreated);  // names compare ignoring case
    shell.SetTaskbarRunning(false);
    EXPECT_TRUE(shell.Icons().empty());
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &nid));
    shell.SetTaskbarRunning(true);
    std::vector<HWND> heard;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == taskbarCreated) heard.push_back(msg.hwnd);
    EXPECT_EQ(heard, std::vector<HWND>{top});
    EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &nid));

    // A DPI change reaches the top-level window too, and the window's DPI and the metrics follow it.
    EXPECT_EQ(GetDpiForWindow(top), 96u);
    shell.ChangeDpi(144);
    std::vector<UINT> dpiMessages;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == WM_DPICHANGED) dpiMessages.push_back(LOWORD(msg.wParam));
    EXPECT_EQ(dpiMessages, std::vector<UINT>{144});
    EXPECT_EQ(GetDpiForWindow(top), 144u);
    EXPECT_EQ(GetSystemMetricsForDpi(SM_CXSMICON, 144), 24);
    EXPECT_EQ(GetSystemMetricsForDpi(SM_CXICON, 144), 48);
    EXPECT_EQ(GetDpiForWindow(nullptr), 0u);
    Shell_NotifyIconW(NIM_DELETE, &nid);
    DestroyWindow(top);
    DestroyWindow(hwnd);
}

// Named mutexes live in the caller's session namespace unless the name says "Global\": two users'
// sessions each have their own "Local\X", and a second create of a name opens the first.
TEST(SessionNamespace, NamedMutexesArePerSessionUnlessGlobal) {
    sim::Machine machine;
    struct Seen {
        DWORD local = 0, again = 0, global = 0;
    };
    auto run = [&](DWORD session, Seen* seen) {
        sim::ProgramSpec spec;
        spec.imageName = "probe.exe";
        spec.interactiveUser = true;
        spec.session = session;
        spec.entry = [seen](HINSTANCE) {
            HANDLE a = CreateMutexW(nullptr, FALSE, u"Local\\quillon-test");
            seen->local = GetLastError();
            HANDLE b = CreateMutexW(nullptr, FALSE, u"quillon-test");  // the same: the session's namespace
            seen->again = GetLastError();
            HANDLE c = CreateMutexW(nullptr, TRUE, u"Global\\quillon-test");
            seen->global = GetLastError();
            if (c) ReleaseMutex(c);
            Sleep(100);  // all three held while the other session creates its own
            for (HANDLE h : {a, b, c}) CloseHandle(h);
            return 0;
        };
        return machine.StartProcess(spec);
    };
    Seen first, second;
    auto p1 = run(1, &first);
    auto p2 = run(2, &second);
    ASSERT_TRUE(machine.WaitProcess(p1, 5000));
    ASSERT_TRUE(machine.WaitProcess(p2, 5000));
    EXPECT_EQ(first.local, 0u);
    EXPECT_EQ(first.again, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(second.local, 0u);  // session 2's own
    EXPECT_EQ(second.again, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first.global == 0u, second.global == 0u);  // one namespace: the second found the first's
    EXPECT_EQ(machine.HandleCount(), 0u);
}

// A service the test scripts: it reports what the test asks for, when it asks.
struct ScriptedService {
    static ScriptedService*& Self() {
        static ScriptedService* self = nullptr;
        return self;
    }
    SERVICE_STATUS_HANDLE status = nullptr;
    std::shared_ptr<sim::Event> step = std::make_shared<sim::Event>(false, false);
    std::vector<DWORD> controls;
    bool mainReturned = false;
    bool dispatcherReturnedBeforeMain = false;

    void Report(DWORD state, DWORD accepted) {
        SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, 0, 0};
        SetServiceStatus(status, &s);
    }
    void WaitStep() { sim::Machine::Current().WaitObjects({step}, false, sim::kNever); }

    static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
        Self()->controls.push_back(control);
        if (control == SERVICE_CONTROL_STOP) Self()->Report(SERVICE_STOP_PENDING, 0);
        return NO_ERROR;
    }
    static void WINAPI Main(DWORD, LPWSTR*) {
        ScriptedService& s = *Self();
        s.status = RegisterServiceCtrlHandlerExW(u"Scripted", Handler, nullptr);
        s.Report(SERVICE_START_PENDING, 0);
        s.WaitStep();
        s.Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
        s.WaitStep();
        s.Report(SERVICE_STOPPED, 0);
        Sleep(500);  // still busy after its last report
        s.mainReturned = true;
    }
    sim::ProgramSpec Program() {
        sim::ProgramSpec spec;
        spec.imageName = "scripted.exe";
        spec.hasVersionResource = false;
        spec.entry = [this](HINSTANCE) {
            static WCHAR name[] = u"Scripted";
            const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
            const BOOL ok = StartServiceCtrlDispatcherW(table);
            dispatcherReturnedBeforeMain = !mainReturned;
            return ok ? 0 : static_cast<int>(GetLastError());
        };
        return spec;
    }
    void Next(sim::Machine& machine) {
        std::lock_guard lock(machine.Mutex());
        machine.SetEventLocked(*step);
    }
};

TEST(ServiceManager, ControlsAreAdmittedByStateAndControlsAcceptedAndTheDispatcherReturnsOnStopped) {
    sim::Machine machine;
    ScriptedService service;
    ScriptedService::Self() = &service;
    sim::ServiceManager& scm = machine.Scm();
    scm.Install("Scripted", service.Program());
    ASSERT_TRUE(scm.Start("Scripted"));
    ASSERT_TRUE(scm.WaitForState("Scripted", SERVICE_START_PENDING, 1000));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

    service.Next(machine);
    ASSERT_TRUE(scm.WaitForState("Scripted", SERVICE_RUNNING, 1000));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_SHUTDOWN), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_DEVICEEVENT), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(scm.Control("Scripted", 200), 0u);  // user-defined: always delivered
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(service.controls,
              (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, 200, SERVICE_CONTROL_STOP}));

    service.Next(machine);
    DWORD exitCode = 1;
    ASSERT_TRUE(machine.RunUntil([&] { return scm.ProcessExited("Scripted", &exitCode); }, 2000));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(service.dispatcherReturnedBeforeMain);
    EXPECT_EQ(scm.Control("Scripted", SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    machine.RunFor(1000);  // the service main function finishes
    EXPECT_TRUE(service.mainReturned);
}

}  // namespace
