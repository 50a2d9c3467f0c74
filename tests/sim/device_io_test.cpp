// Device I/O as Windows reports it: immediate failures on overlapped handles, byte counts of the two
// buffer-size errors, GetOverlappedResult's wait, CancelIo per thread, closing with requests pending; and
// the interface aliases and interface registry keys of SetupAPI.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/ks.h"
#include "platform/sim/src/block_pool.h"

namespace {

constexpr DWORD kClockStart = static_cast<DWORD>(sim::Machine::kDefaultClockStartMs);

DEFINE_GUID(kAudio, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(kCapture, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(kRender, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

constexpr DWORD kFail = CTL_CODE(0x22, 1, METHOD_NEITHER, FILE_ANY_ACCESS);      // ERROR_INVALID_PARAMETER
constexpr DWORD kTooSmall = CTL_CODE(0x22, 2, METHOD_NEITHER, FILE_ANY_ACCESS);  // ERROR_INSUFFICIENT_BUFFER
constexpr DWORD kMore = CTL_CODE(0x22, 3, METHOD_NEITHER, FILE_ANY_ACCESS);      // ERROR_MORE_DATA, 40 bytes
constexpr DWORD kSlow = CTL_CODE(0x22, 4, METHOD_NEITHER, FILE_ANY_ACCESS);      // 8 bytes after 5 ms

class ProbeDevice : public sim::Device {
public:
    explicit ProbeDevice(sim::Machine& m) : machine(m) {}
    DWORD Io(sim::File&, const std::shared_ptr<sim::IoRequest>& r) override {
        seen.push_back(r.get());
        if (keepLast) last = r;
        switch (r->code) {
            case kFail: r->information = 12; return ERROR_INVALID_PARAMETER;
            case kTooSmall: r->information = 40; return ERROR_INSUFFICIENT_BUFFER;
            case kMore: r->information = 40; return ERROR_MORE_DATA;
            case kSlow: {
                std::lock_guard lock(machine.Mutex());
                machine.AddTimerLocked(machine.Now() + 5 * sim::kTicksPerMs,
                                       [r] { r->CompleteLocked(ERROR_SUCCESS, 8); });
                return ERROR_IO_PENDING;
            }
        }
        return ERROR_INVALID_FUNCTION;
    }
    void CancelLocked(sim::File&, sim::IoRequest&) override { events.push_back("cancel"); }
    void Close(sim::File&) override { events.push_back("close"); }
    sim::Machine& machine;
    std::vector<std::string> events;
    std::vector<const void*> seen;  // the requests, by address
    bool keepLast = false;
    std::shared_ptr<sim::IoRequest> last;
};

struct Rig {
    explicit Rig(sim::Machine& m) : device(std::make_shared<ProbeDevice>(m)) {
        path = sim::DeviceTree::InterfacePath("USB\\VID_1234&PID_0001&MI_00\\7&1&0&0000", kAudio, "global");
        m.Devices().AddDevice({"USB\\VID_1234&PID_0001&MI_00\\7&1&0&0000", {}, "", {}, {}, "Probe", 0, {}},
                              {{kAudio, path, device, SPINT_ACTIVE, ""}});
    }
    HANDLE Open(DWORD flags) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    std::shared_ptr<ProbeDevice> device;
    std::u16string path;
};

constexpr ULONG_PTR kUntouched = 0x5A5A5A5A;

TEST(DeviceIo, AnErrorAtOnceLeavesTheOverlappedAndTheEventAloneButTheMoreDataWarningFillsThem) {
    sim::Machine machine;
    Rig rig(machine);
    HANDLE file = rig.Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    for (DWORD code : {kFail, kTooSmall}) {
        SetEvent(event);
        ov.Internal = ov.InternalHigh = kUntouched;
        DWORD returned = 77;
        EXPECT_FALSE(DeviceIoControl(file, code, nullptr, 0, nullptr, 0, &returned, &ov));
        EXPECT_EQ(GetLastError(), code == kFail ? static_cast<DWORD>(ERROR_INVALID_PARAMETER)
                                                : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(ov.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));  // as DeviceIoControl set it
        EXPECT_EQ(ov.InternalHigh, kUntouched);
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // reset at issue, never set
        EXPECT_EQ(returned, 0u);  // a failure's count is 0
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    }

    ov.Internal = ov.InternalHigh = kUntouched;
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(file, kMore, nullptr, 0, nullptr, 0, &returned, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 40u);  // the size a size query asks for
    EXPECT_EQ(ov.InternalHigh, 40u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 40u);
    CloseHandle(file);

    // On a synchronous handle the count of ERROR_INSUFFICIENT_BUFFER (and of any error) is 0.
    file = rig.Open(0);
    returned = 77;
    EXPECT_FALSE(DeviceIoControl(file, kTooSmall, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    returned = 77;
    EXPECT_FALSE(DeviceIoControl(file, kFail, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(DeviceIoControl(file, kMore, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 40u);
    CloseHandle(file);
    CloseHandle(event);
}

TEST(DeviceIo, GetOverlappedResultWaitsOnTheEventOfTheOverlapped) {
    sim::Machine machine;
    Rig rig(machine);
    HANDLE file = rig.Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD bytes = 0;

    // The usual pattern: the wait consumes the auto-reset event; the request is done, so no second wait.
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(timeGetTime() - kClockStart, 5u);

    // Somebody else setting the event wakes the wait before the request is done.
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    SetEvent(event);
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(timeGetTime() - kClockStart, 5u);
    EXPECT_TRUE(GetOverlappedResult(file, &ov, &bytes, TRUE));  // the completion sets it again
    EXPECT_EQ(timeGetTime() - kClockStart, 10u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // and the wait consumed it

    // Without an event the wait is on the file.
    OVERLAPPED bare{};
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &bare));
    EXPECT_TRUE(GetOverlappedResult(file, &bare, &bytes, TRUE));
    EXPECT_EQ(timeGetTime() - kClockStart, 15u);
    CloseHandle(file);
    CloseHandle(event);
}

struct Issuer {
    HANDLE file;
    HANDLE event;
    OVERLAPPED ov{};
    HANDLE issued;
};

unsigned IssueSlow(void* arg) {
    auto* issuer = static_cast<Issuer*>(arg);
    issuer->ov.hEvent = issuer->event;
    DeviceIoControl(issuer->file, kSlow, nullptr, 0, nullptr, 0, nullptr, &issuer->ov);
    SetEvent(issuer->issued);
    return 0;
}

TEST(DeviceIo, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    sim::Machine machine;
    Rig rig(machine);
    HANDLE file = rig.Open(FILE_FLAG_OVERLAPPED);
    Issuer other{file, CreateEventW(nullptr, TRUE, FALSE, nullptr), {}, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, IssueSlow, &other, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(other.issued, INFINITE), WAIT_OBJECT_0);

    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = mine;
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_TRUE(CancelIo(file));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(timeGetTime() - kClockStart, 0u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&other.ov));  // the other thread's request still runs

    EXPECT_TRUE(GetOverlappedResult(file, &other.ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(timeGetTime() - kClockStart, 5u);
    EXPECT_EQ(rig.device->events, (std::vector<std::string>{"cancel"}));
    WaitForSingleObject(thread, INFINITE);
    for (HANDLE h : {thread, other.event, other.issued, mine, file}) CloseHandle(h);
}

TEST(DeviceIo, ClosingTheLastHandleCancelsPendingRequestsBeforeTheClose) {
    sim::Machine machine;
    Rig rig(machine);
    HANDLE file = rig.Open(FILE_FLAG_OVERLAPPED);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));

    CloseHandle(file);  // another handle keeps the file open: nothing happens
    EXPECT_TRUE(rig.device->events.empty());
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

    CloseHandle(copy);
    EXPECT_EQ(rig.device->events, (std::vector<std::string>{"cancel", "close"}));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.InternalHigh, 0u);
    const ULONG_PTR status = ov.Internal;

    // The device's late completion no longer reaches the OVERLAPPED.
    ResetEvent(event);
    machine.RunFor(10);
    EXPECT_EQ(ov.Internal, status);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(machine.Devices().OpenFileCount(), 0u);
    CloseHandle(event);
}

// ---- request blocks ----

// Requests one after another reuse one block; a request a device still holds when its machine goes stays
// valid until the device lets go of it.
TEST(DeviceIo, RequestsReuseTheBlocksOfFinishedOnesAndMayOutliveTheirMachine) {
    std::shared_ptr<ProbeDevice> device;
    {
        sim::Machine machine;
        Rig rig(machine);
        device = rig.device;
        HANDLE file = rig.Open(0);
        DWORD returned = 0;
        for (int i = 0; i < 8; ++i) DeviceIoControl(file, kFail, nullptr, 0, nullptr, 0, &returned, nullptr);
        device->keepLast = true;
        EXPECT_FALSE(DeviceIoControl(file, kMore, nullptr, 0, nullptr, 0, &returned, nullptr));
        device->keepLast = false;
        DeviceIoControl(file, kFail, nullptr, 0, nullptr, 0, &returned, nullptr);
        ASSERT_EQ(device->seen.size(), 10u);
        EXPECT_EQ(std::set<const void*>(device->seen.begin(), device->seen.end() - 1).size(), 1u);
        EXPECT_NE(device->seen.back(), device->seen.front());  // the first block is still held
        CloseHandle(file);
    }
    ASSERT_TRUE(device->last);
    EXPECT_EQ(device->last->information, 40u);
    device->last.reset();  // back to the pool the machine left behind, which goes with it
}

// The pool under the requests: at most kKept blocks of its one size, the oldest reused first, poisoned
// while kept; and blocks taken and given back on several threads at once are never handed out twice.
TEST(BlockPool, KeepsItsCapOfOneSizeOldestFirstPoisonedAndHandsNoBlockOutTwice) {
    constexpr std::size_t kSize = 48;
    auto pool = std::make_shared<sim::BlockPool>();
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < sim::BlockPool::kKept + 2; ++i) blocks.push_back(pool->Take(kSize));
    void* other = pool->Take(2 * kSize);  // another size: straight from the heap and back
    for (void* b : blocks) pool->Give(b, kSize);
    pool->Give(other, 2 * kSize);
    EXPECT_EQ(pool->KeptCount(), sim::BlockPool::kKept);
#ifdef SIM_BLOCK_POOL_ASAN
    for (std::size_t i = 0; i < sim::BlockPool::kKept; ++i) EXPECT_EQ(__asan_region_is_poisoned(blocks[i], kSize), blocks[i]);
#endif
    void* first = pool->Take(kSize);
    void* second = pool->Take(kSize);
    EXPECT_EQ(first, blocks[0]);
    EXPECT_EQ(second, blocks[1]);
#ifdef SIM_BLOCK_POOL_ASAN
    EXPECT_EQ(__asan_region_is_poisoned(first, kSize), nullptr);
#endif
    pool->Give(first, kSize);
    pool->Give(second, kSize);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&pool] {
            for (int i = 0; i < 2000; ++i) {
                void* mine = pool->Take(kSize);
                pool->Give(pool->Take(kSize), kSize);
                pool->Give(mine, kSize);
            }
        });
    for (auto& t : threads) t.join();
    std::set<void*> kept;
    for (std::size_t i = 0; i < sim::BlockPool::kKept; ++i) kept.insert(pool->Take(kSize));
    EXPECT_EQ(kept.size(), sim::BlockPool::kKept);
    EXPECT_EQ(pool->KeptCount(), 0u);
    for (void* b : kept) pool->Give(b, kSize);
}

// ---- SetupAPI: aliases and interface keys ----

struct KsDevice {
    std::string instance = "USB\\VID_1234&PID_0001&MI_00\\7&1&0&0000";
    std::u16string wave, waveCapture, waveRender, topo;
};

KsDevice PlugKsDevice(sim::Machine& machine, std::shared_ptr<sim::Device> device) {
    KsDevice d;
    d.wave = sim::DeviceTree::InterfacePath(d.instance, kAudio, "Wave");
    d.waveCapture = sim::DeviceTree::InterfacePath(d.instance, kCapture, "Wave");
    d.waveRender = sim::DeviceTree::InterfacePath(d.instance, kRender, "Wave");
    d.topo = sim::DeviceTree::InterfacePath(d.instance, kAudio, "Topology");
    machine.Devices().AddDevice({d.instance, {}, "", {}, {}, "KS", 0, {}},
                                {{kAudio, d.wave, device, SPINT_ACTIVE, ""},
                                 {kCapture, d.waveCapture, device, SPINT_ACTIVE | SPINT_DEFAULT, ""},
                                 {kRender, d.waveRender, device, 0, ""},
                                 {kAudio, d.topo, device, SPINT_ACTIVE, ""}});
    return d;
}

TEST(SetupApiAliases, AnAliasIsTheOtherClassOnTheSameDeviceAndReferenceWithItsFlags) {
    sim::Machine machine;
    const auto d = PlugKsDevice(machine, std::make_shared<ProbeDevice>(machine));
    HDEVINFO set = SetupDiGetClassDevsW(&kAudio, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA wave{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    SP_DEVICE_INTERFACE_DATA topo = wave;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudio, 0, &wave));
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudio, 1, &topo));

    SP_DEVICE_INTERFACE_DATA alias{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    ASSERT_TRUE(SetupDiGetDeviceInterfaceAlias(set, &wave, &kCapture, &alias));
    EXPECT_EQ(alias.InterfaceClassGuid, kCapture);
    EXPECT_EQ(alias.Flags, static_cast<DWORD>(SPINT_ACTIVE | SPINT_DEFAULT));
    // The alias is a member of the set now: its detail is the capture interface's path.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &alias, nullptr, 0, &required, nullptr);
    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &alias, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::u16string(detail->DevicePath), d.waveCapture);

    ASSERT_TRUE(SetupDiGetDeviceInterfaceAlias(set, &wave, &kRender, &alias));
    EXPECT_EQ(alias.Flags, 0u);  // registered but disabled
    EXPECT_FALSE(SetupDiGetDeviceInterfaceAlias(set, &topo, &kCapture, &alias));  // other reference string
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_INTERFACE_DEVICE));
    alias.cbSize = 30;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceAlias(set, &wave, &kCapture, &alias));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    alias.cbSize = sizeof alias;

    EXPECT_TRUE(machine.Devices().SetInterfaceFlags(d.waveCapture, SPINT_REMOVED));
    ASSERT_TRUE(SetupDiGetDeviceInterfaceAlias(set, &wave, &kCapture, &alias));
    EXPECT_EQ(alias.Flags, static_cast<DWORD>(SPINT_REMOVED));
    SetupDiDestroyDeviceInfoList(set);

    // A present-only enumeration leaves out interfaces that are not active.
    set = SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kRender, 0, &alias));
    SetupDiDestroyDeviceInfoList(set);
    set = SetupDiGetClassDevsW(&kRender, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kRender, 0, &alias));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SetupApiAliases, TheInterfaceKeyHoldsTheFriendlyName) {
    sim::Machine machine;
    const auto d = PlugKsDevice(machine, std::make_shared<ProbeDevice>(machine));
    const std::string keyPath = sim::DeviceTree::InterfaceKeyPath(d.wave, kAudio);
    EXPECT_EQ(keyPath,
              "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\"
              "##?#USB#VID_1234&PID_0001&MI_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\#Wave\\"
              "Device Parameters");
    HDEVINFO set = SetupDiGetClassDevsW(&kAudio, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA wave{sizeof(SP_DEVICE_INTERFACE_DATA), {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudio, 0, &wave));

    EXPECT_EQ(SetupDiOpenDeviceInterfaceRegKey(set, &wave, 0, KEY_READ), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    machine.Reg().SetString(keyPath, "FriendlyName", "Quillon Alto Capture");
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &wave, 0, KEY_READ);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    char name[260] = {};
    DWORD size = sizeof name, type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "FriendlyName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(name, "Quillon Alto Capture");
    RegCloseKey(key);
    EXPECT_EQ(machine.HandleCount("RegKey"), 0u);

    machine.InjectFailure("SetupDiOpenDeviceInterfaceRegKey", ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetupDiOpenDeviceInterfaceRegKey(set, &wave, 0, KEY_READ), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
