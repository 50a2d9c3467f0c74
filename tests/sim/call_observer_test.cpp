// Systematic fault injection on the machine: a program's Win32 calls numbered one by one, each one's fate
// decided by the observer (fail, hold), and the injected failures reported the way Windows reports them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/fault_errors.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/com.h"
#include "platform/sim/include/simwin/ks.h"

namespace {

DEFINE_GUID(kProbeClass, 0x1C0FFEE0, 0x1234, 0x4321, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07);
constexpr DWORD kSlow = CTL_CODE(0x22, 4, METHOD_NEITHER, FILE_ANY_ACCESS);  // 8 bytes after 5 ms

class SlowDevice : public sim::Device {
public:
    explicit SlowDevice(sim::Machine& m) : machine(m) {}
    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        std::lock_guard lock(machine.Mutex());
        machine.AddTimerLocked(machine.Now() + 5 * sim::kTicksPerMs, [r] { r->CompleteLocked(ERROR_SUCCESS, 8); });
        return ERROR_IO_PENDING;
    }
    sim::Machine& machine;
};

// Runs `body` as the main thread of a program "probe.exe" and waits for it.
void InProgram(sim::Machine& machine, std::function<void()> body) {
    sim::ProgramSpec spec;
    spec.imageName = "probe.exe";
    spec.entry = [body](HINSTANCE) {
        body();
        return 0;
    };
    ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(spec), 60'000));
}

struct Seen {
    std::string function;
    std::uint64_t number;
};

TEST(CallObserver, NumbersAProgramsCallsAndDecidesEachOnesFate) {
    sim::Machine machine;
    std::vector<Seen> seen;
    machine.SetCallObserver([&](sim::Process& process, const char* function, std::uint64_t number) {
        EXPECT_EQ(process.name, "probe.exe");
        seen.push_back({function, number});
        sim::Machine::CallFate fate;
        if (number == 2) fate = {true, ERROR_NOT_ENOUGH_MEMORY, 0};
        if (number == 3) fate.stallMs = 40;
        return fate;
    });
    CloseHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));  // the host's calls are not numbered
    InProgram(machine, [&] {
        HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_NE(first, nullptr);
        SetLastError(0);
        EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        const std::uint64_t before = machine.NowMs();
        EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // held, then answered
        EXPECT_EQ(machine.NowMs() - before, 40u);
        CloseHandle(first);
    });
    machine.SetCallObserver(nullptr);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].function, "CreateEventW");
    EXPECT_EQ(seen[2].function, "WaitForSingleObject");  // a wait counts once, as itself
    EXPECT_EQ(seen[3].function, "CloseHandle");
    EXPECT_EQ(seen[3].number, 4u);
    EXPECT_EQ(machine.CallCount("WaitForMultipleObjects"), 0u);
}

TEST(CallObserver, InjectedDeviceFailuresReportNoBytesAndARequestFailsOnlyOnceItHasCompleted) {
    sim::Machine machine;
    auto device = std::make_shared<SlowDevice>(machine);
    const std::u16string path = sim::DeviceTree::InterfacePath("ROOT\\PROBE\\0000", kProbeClass, "probe");
    machine.Devices().AddDevice({"ROOT\\PROBE\\0000", {}, "", {}, {}, "Probe", 0, {}},
                                {{kProbeClass, path, device, SPINT_ACTIVE, ""}});
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    DWORD bytes = 77;
    BYTE out[8];
    machine.InjectFailure("DeviceIoControl", ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(bytes, 0u);

    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, out, sizeof out, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    machine.InjectFailure("GetOverlappedResult", ERROR_OPERATION_ABORTED);
    const std::uint64_t before = machine.NowMs();
    bytes = 77;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(machine.NowMs() - before, 5u);  // the device had finished with the buffer
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

TEST(CallObserver, AFailedCoCreateInstanceLeavesNoPointerBehind) {
    sim::Machine machine;
    InProgram(machine, [&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        void* object = reinterpret_cast<void*>(1);
        machine.InjectFailure("CoCreateInstance", 0x80080005);  // CO_E_SERVER_EXEC_FAILURE
        EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator, &object),
                  static_cast<HRESULT>(0x80080005));
        EXPECT_EQ(object, nullptr);
        CoUninitialize();
    });
}

TEST(FaultTable, GivesTheErrorsOfCallsThatFailAndNoneForCallsThatDoNot) {
    EXPECT_EQ(sim::RealisticErrors("CreateFileW").front(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(sim::CanBlock("DeviceIoControl"));
    EXPECT_LT(static_cast<HRESULT>(sim::RealisticErrors("IMMDevice::Activate").front()), 0);  // an HRESULT
    EXPECT_TRUE(sim::RealisticErrors("CloseHandle").empty());
    EXPECT_TRUE(sim::KnownToFaultTable("CloseHandle"));
    EXPECT_TRUE(sim::FailsOnlyForBadArguments("WaitForSingleObject"));
    EXPECT_FALSE(sim::KnownToFaultTable("NoSuchCall"));
}

}  // namespace
