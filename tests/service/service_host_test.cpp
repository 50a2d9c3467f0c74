// The service as the service control manager sees it: states, controls, and its life without the
// virtual audio driver.
#include <gtest/gtest.h>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "platform/sim/include/simwin/api.h"
#include "tests/harness/Programs.h"

namespace {

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

class ServiceHost : public ::testing::Test {
protected:
    ServiceHost() { harness::InstallService(machine); }
    ~ServiceHost() override {
        if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
            harness::StopService(machine);
    }
    std::vector<SERVICE_STATUS> History() { return machine.Scm().History(harness::kServiceName); }
    DWORD Control(DWORD code) { return machine.Scm().Control(harness::kServiceName, code); }
    DWORD CallHandler(DWORD code) { return machine.Scm().CallHandler(harness::kServiceName, code); }

    sim::Machine machine;
};

TEST_F(ServiceHost, ReportsStartPendingRunningStopPendingStoppedWithTheirCheckPointsAndHints) {
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(2500);
    ASSERT_TRUE(harness::StopService(machine));

    const auto history = History();
    ASSERT_EQ(history.size(), 4u);
    const DWORD states[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
    const DWORD checkPoints[] = {1, 0, 1, 0};
    // The stop's hint covers the supervisor's bounded 10 s wait for its loop thread.
    const DWORD hints[] = {2000, 0, 12000, 0};
    const DWORD accepted[] = {0, SERVICE_ACCEPT_STOP, 0, 0};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(history[i].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(history[i].dwCurrentState, states[i]);
        EXPECT_EQ(history[i].dwCheckPoint, checkPoints[i]);
        EXPECT_EQ(history[i].dwControlsAccepted, accepted[i]);
        EXPECT_EQ(history[i].dwWin32ExitCode, 0u);  // a clean stop
        EXPECT_EQ(history[i].dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(history[i].dwWaitHint, hints[i]);
    }
    DWORD exitCode = 1;
    ASSERT_TRUE(machine.Scm().ProcessExited(harness::kServiceName, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(machine.LiveThreadCount(), 0u);
    EXPECT_EQ(machine.HandleCount(), 0u);
    ASSERT_TRUE(machine.Scm().ProcessOf(harness::kServiceName));
    EXPECT_EQ(machine.Scm().ProcessOf(harness::kServiceName)->HandlesAtExit(), 0u);  // closed before it ended
}

TEST_F(ServiceHost, AnswersControlsItDoesNotActOnAndIgnoresARepeatedStop) {
    // With the driver present the supervisor is kept, and stopping it takes up to one loop pass.
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    ASSERT_TRUE(harness::StartService(machine));
    // The manager lets through only what the service accepts (stop) and interrogate; the handler itself,
    // reached directly as the system reaches it, answers the rest.
    EXPECT_EQ(Control(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(Control(SERVICE_CONTROL_SHUTDOWN), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(Control(SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_PAUSE), 0u);
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_CONTINUE), 0u);
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_SHUTDOWN), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_DEVICEEVENT), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(History().size(), 2u);  // none of them reported anything

    // A second stop while stop is pending: the manager refuses it; the handler, reached directly,
    // answers it and ignores it.
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(CallHandler(SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Scm().ProcessExited(harness::kServiceName); }, 30'000));
    const auto history = History();
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[2].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(history[3].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceHost, StopDuringSupervisorConstructionTakesEffectWhenConstructionEnds) {
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(1500);  // a few supervisors have come and gone
    // The next supervisor spends 700 ms opening the settings key.
    machine.InjectStall("RegOpenKeyExA", 700);
    const std::uint64_t opensBefore = machine.CallCount("RegOpenKeyExA");
    ASSERT_TRUE(machine.RunUntil([&] { return machine.CallCount("RegOpenKeyExA") > opensBefore; }, 2000));
    const std::uint64_t stallStart = machine.NowMs();  // the stall began within the last millisecond
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), 0u);
    EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Scm().ProcessExited(harness::kServiceName); }, 30'000));
    EXPECT_GE(machine.NowMs(), stallStart + 699);
    EXPECT_EQ(machine.CallCount("RegQueryValueExA") % 2, 0u);  // the interrupted build read both settings
    EXPECT_EQ(History().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

// A stop whose teardown takes long (the settings write at the supervisor's end held for 8 s) keeps
// reporting progress:
// the check point counts up about once a second under the same hint, and only as long as the bounded
// waits can last, so a teardown that hangs beyond them shows as hung.
TEST_F(ServiceHost, ASlowStopCountsItsCheckPointUpWithinTheBoundedWaits) {
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(1500);
    machine.InjectStall("RegSetValueExA", 8000);  // written once the loop has stopped
    EXPECT_EQ(Control(SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Scm().ProcessExited(harness::kServiceName); }, 60'000));
    const auto history = History();
    ASSERT_GE(history.size(), 5u);
    DWORD expected = 1;
    for (std::size_t i = 2; i + 1 < history.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(history[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(history[i].dwCheckPoint, expected++);
        EXPECT_EQ(history[i].dwWaitHint, 12000u);
    }
    EXPECT_GE(expected, 6u);  // several seconds of progress
    EXPECT_LE(expected, 1u + 22u);
    EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(history.back().dwWin32ExitCode, 0u);
}

// Each way the service can end on its own reports stopped with ERROR_SERVICE_SPECIFIC_ERROR and its cause,
// so the service manager counts a failure and applies the recovery actions; none reports running first
// unless the worker ran.
TEST(ServiceExit, EndingOnItsOwnReportsAServiceSpecificErrorPerCause) {
    struct Case {
        const char* function;
        bool workerThread;  // fail the call only on the worker (the thread that enters COM first)
        DWORD code;
        bool reportsRunning;
    };
    const Case cases[] = {
        {"CreateEventW", false, 1, false},           // the stop event
        {"_beginthreadex", false, 2, false},         // the worker
        {"WaitForSingleObject", true, 3, true},      // the worker's wait on the stop event
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        sim::Machine m;
        harness::InstallService(m);
        auto worker = std::make_shared<sim::ThreadRec*>(nullptr);
        auto failed = std::make_shared<bool>(false);
        m.SetCallObserver([&m, c, worker, failed](sim::Process& process, const char* called, std::uint64_t) {
            sim::Machine::CallFate fate;
            if (process.name != "QuillonVADService.exe") return fate;
            if (!*worker && std::string(called) == "CoInitializeEx") *worker = m.CurrentThread();
            if (!*failed && std::string(called) == c.function && (!c.workerThread || m.CurrentThread() == *worker)) {
                *failed = true;
                fate.fail = true;
                fate.error = c.workerThread ? ERROR_INVALID_HANDLE : ERROR_NOT_ENOUGH_MEMORY;
            }
            return fate;
        });
        ASSERT_TRUE(m.Scm().Start(harness::kServiceName));
        ASSERT_TRUE(m.RunUntil([&] { return m.Scm().ProcessExited(harness::kServiceName); }, 10'000));
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& status : m.Scm().History(harness::kServiceName)) states.push_back(status.dwCurrentState);
        EXPECT_EQ(states, c.reportsRunning
                              ? (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED})
                              : (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
        const SERVICE_STATUS last = m.Scm().Status(harness::kServiceName);
        EXPECT_EQ(last.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(last.dwServiceSpecificExitCode, c.code);
        EXPECT_EQ(last.dwCheckPoint, 0u);
        EXPECT_EQ(last.dwWaitHint, 0u);
        m.SetCallObserver({});
    }
}

TEST_F(ServiceHost, FailedHandlerRegistrationReportsNothing) {
    machine.InjectFailure("RegisterServiceCtrlHandlerExW", ERROR_ACCESS_DENIED);
    ASSERT_TRUE(machine.Scm().Start(harness::kServiceName));
    // Nothing reports stopped, so the dispatcher does not return: the process stays until the manager
    // gives up on it.
    machine.RunFor(5000);
    EXPECT_FALSE(machine.Scm().ProcessExited(harness::kServiceName));
    EXPECT_TRUE(History().empty());
    machine.Scm().Abandon(harness::kServiceName);
    DWORD exitCode = 0;
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Scm().ProcessExited(harness::kServiceName, &exitCode); }, 5000));
    EXPECT_EQ(exitCode, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(History().empty());
}

TEST_F(ServiceHost, StartedOutsideTheServiceManagerExitsWithTheDispatcherError) {
    sim::ProgramSpec program = harness::ServiceProgram();  // no service name: a plain process
    auto process = machine.StartProcess(program);
    ASSERT_TRUE(machine.WaitProcess(process, 5000));
    EXPECT_EQ(process->exitCode, static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(ServiceHost, WithoutTheDriverBuildsAndDiscardsASupervisorAboutOnceASecond) {
    ASSERT_TRUE(harness::StartService(machine));
    const std::uint64_t searchesAtStart = machine.CallCount("SetupDiGetClassDevsW");
    const std::uint64_t writesAtStart = machine.CallCount("RegSetValueExA");
    machine.RunFor(60'000);
    const std::uint64_t searches = machine.CallCount("SetupDiGetClassDevsW") - searchesAtStart;
    const std::uint64_t writes = machine.CallCount("RegSetValueExA") - writesAtStart;
    // One build per wait of 1000 ms plus the time a build takes.
    EXPECT_GE(searches, 58u);
    EXPECT_LE(searches, 61u);
    EXPECT_EQ(writes, 2 * searches);  // "Enable" and "Latency" written back on every discard
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 1u);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Latency"), 0u);
    EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(machine.HandleCount(), 0u);
    ASSERT_TRUE(machine.Scm().ProcessOf(harness::kServiceName));
    EXPECT_EQ(machine.Scm().ProcessOf(harness::kServiceName)->HandlesAtExit(), 0u);  // closed before it ended
}

}  // namespace
