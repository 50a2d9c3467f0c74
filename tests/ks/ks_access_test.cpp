// The KS log and the synchronous property requests every KS object makes.
#include <gtest/gtest.h>

#include <string>

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/ks/KsFilter.h"
#include "platform/sim/include/sim/debug_output.h"
#include "tests/ks/AllocationCounter.h"
#include "tests/ks/KsTestDevices.h"

namespace {

using kstest::TestFilter;

struct LogLevel {
    explicit LogLevel(ULONG level) { g_ulKsDebugLevel = level; }
    ~LogLevel() { g_ulKsDebugLevel = 0; }
};

std::string Format(const char16_t* format, std::initializer_list<KsLogArg> args) {
    WCHAR line[kKsLogLineUnits];
    const std::size_t n = KsFormatLine(line, kKsLogLineUnits, format, args.begin(), args.size());
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>(line[i]);
    EXPECT_EQ(line[n], 0);
    return text;
}

TEST(KsLog, WritesNothingAtTheDefaultThresholdAndEveryLevelUpToIt) {
    sim::Machine machine;
    for (int level = 1; level <= 6; ++level) KsDebugPrint(level, u"level %d", level);
    EXPECT_TRUE(sim::DebugOutput(machine).empty());

    LogLevel raised(3);
    for (int level = 1; level <= 6; ++level) KsDebugPrint(level, u"level %d", level);
    EXPECT_EQ(sim::DebugOutput(machine), (std::vector<std::string>{"\n[KS]:level 1", "\n[KS]:level 2", "\n[KS]:level 3"}));
}

TEST(KsLog, FormatsTypedArgumentsAndCutsLongLinesInsideTheBuffer) {
    EXPECT_EQ(Format(u"%s Leave, returning %#08x", {"CKsPin::Init", static_cast<HRESULT>(0x80004005L)}),
              "\n[KS]:CKsPin::Init Leave, returning 0x80004005");
    EXPECT_EQ(Format(u"%s Leave, returning %#08x", {"X", 0}), "\n[KS]:X Leave, returning 00000000");
    EXPECT_EQ(Format(u"Found Device: %s = %s (%u, %d, %08x)", {u"\\\\?\\usb", "Console", 7u, -3, 0xBEEFu}),
              "\n[KS]:Found Device: \\\\?\\usb = Console (7, -3, 0000beef)");
    EXPECT_EQ(Format(u"%s %s", {"only one"}), "\n[KS]:only one (null)");

    const std::string longText(400, 'x');
    const std::string line = Format(u"%s", {longText.c_str()});
    EXPECT_EQ(line.size(), kKsLogLineUnits - 1);
    EXPECT_EQ(line.substr(0, 6), "\n[KS]:");

    // A line buffer with room for less than the prefix stays terminated inside itself.
    WCHAR tiny[4] = {1, 1, 1, 1};
    EXPECT_EQ(KsFormatLine(tiny, 4, u"abc", nullptr, 0), 3u);
    EXPECT_EQ(tiny[3], 0);
}

class KsAccess : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_shared<TestFilter>(machine);
        device->pins = {kstest::PinSpec{}};
        path = kstest::PlugFilter(machine, device, "A");
        HRESULT hr = E_FAIL;
        filter = std::make_unique<CKsFilter>(reinterpret_cast<const WCHAR*>(path.c_str()), &hr);
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(filter->Instantiate(), S_OK);
    }
    sim::Machine machine;
    std::shared_ptr<TestFilter> device;
    std::u16string path;
    std::unique_ptr<CKsFilter> filter;
};

TEST_F(KsAccess, RequestsUpTo2048BytesUseNoHeapAndLargerOnesExactlyTheirSize) {
    device->record = false;
    std::vector<BYTE> extra(2100, 0x5A);
    ULONG value = 0;
    auto allocations = [&](ULONG extraSize) {
        kstest::CountAllocations counted;
        filter->GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &value, sizeof value, extra.data(), extraSize);
        return std::make_pair(counted.Count(), counted.Size(0));
    };
    allocations(8);  // the machine's first request on this thread sets up its own records
    const int baseline = allocations(8).first;
    EXPECT_EQ(allocations(2024).first, baseline);  // 24 + 2024 = 2048 bytes: the local buffer
    bool heapBlockSeen = false;
    {
        kstest::CountAllocations counted;
        filter->GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &value, sizeof value, extra.data(), 2025);
        EXPECT_EQ(counted.Count(), baseline + 1);
        for (int i = 0; i < counted.Count(); ++i) heapBlockSeen |= counted.Size(i) == 2049;
    }
    EXPECT_TRUE(heapBlockSeen);
    EXPECT_EQ(value, 1u);
}

TEST_F(KsAccess, SizeQueriesSucceedButTooSmallBuffersFailAndNotFoundMeansNotImplemented) {
    ULONG returned = 99;
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(filter->SyncIoctl(filter->GetHandle(), &request, sizeof request, nullptr, 0, &returned), S_OK);
    EXPECT_EQ(returned, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));

    BYTE small[8];
    returned = 99;
    EXPECT_EQ(filter->SyncIoctl(filter->GetHandle(), &request, sizeof request, small, sizeof small, &returned), E_FAIL);
    EXPECT_EQ(returned, 0u);

    GUID value = KSDATAFORMAT_TYPE_AUDIO;  // cleared even though the request fails
    EXPECT_EQ(filter->GetPropertySimple(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, &value, sizeof value), E_NOTIMPL);
    EXPECT_EQ(value, GUID_NULL);

    // Every answer stacks give for a property they do not implement means the same; a WaveRT pin with
    // nothing new has its own code; anything else is a failure.
    const std::pair<DWORD, HRESULT> answers[] = {
        {ERROR_NOT_FOUND, E_NOTIMPL},   {ERROR_SET_NOT_FOUND, E_NOTIMPL}, {ERROR_NOT_SUPPORTED, E_NOTIMPL},
        {ERROR_INVALID_FUNCTION, E_NOTIMPL}, {ERROR_NOT_READY, kKsNotReady}, {ERROR_GEN_FAILURE, E_FAIL},
    };
    for (const auto& [error, expected] : answers) {
        device->failures[{KSPROPSETID_Pin.Data1, KSPROPERTY_PIN_CTYPES}] = error;
        ULONG count = 7;
        returned = 99;
        KSP_PIN ctypes{};
        ctypes.Property = {KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
        EXPECT_EQ(filter->SyncIoctl(filter->GetHandle(), &ctypes, sizeof ctypes, &count, sizeof count, &returned),
                  expected)
            << error;
        EXPECT_EQ(returned, 0u);
    }
}

TEST_F(KsAccess, APendedRequestIsWaitedForOnTheMachineClock) {
    device->pendMs[{KSPROPSETID_Pin.Data1, KSPROPERTY_PIN_DATAFLOW}] = 7;
    const auto before = machine.NowMs();
    ULONG flow = 0;
    ULONG returned = 99;
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(filter->SyncIoctl(filter->GetHandle(), &request, sizeof request, &flow, sizeof flow, &returned), S_OK);
    EXPECT_EQ(machine.NowMs() - before, 7u);
    EXPECT_EQ(flow, static_cast<ULONG>(KSPIN_DATAFLOW_IN));
    EXPECT_EQ(returned, sizeof flow);  // what the completion reports
    EXPECT_EQ(filter->LockDepth(), 0);

    // A request that pends and then fails: the end of the wait is not success, the completion decides.
    for (const auto& [error, expected] : {std::pair{ERROR_GEN_FAILURE, E_FAIL}, std::pair{ERROR_SET_NOT_FOUND, E_NOTIMPL}}) {
        device->failures[{KSPROPSETID_Pin.Data1, KSPROPERTY_PIN_DATAFLOW}] = error;
        returned = 99;
        EXPECT_EQ(filter->SyncIoctl(filter->GetHandle(), &request, sizeof request, &flow, sizeof flow, &returned),
                  expected);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(machine.NowMs() - before, 21u);
}

TEST_F(KsAccess, AnInvalidHandleSendsNothingAndClosingTwiceIsHarmless) {
    const auto sent = device->requests.size();
    ULONG returned = 42;
    EXPECT_EQ(filter->SyncIoctl(INVALID_HANDLE_VALUE, nullptr, 0, nullptr, 0, &returned), E_FAIL);
    EXPECT_EQ(filter->SyncIoctl(nullptr, nullptr, 0, nullptr, 0, &returned), E_FAIL);
    EXPECT_EQ(returned, 42u);
    EXPECT_EQ(device->requests.size(), sent);

    HANDLE none = INVALID_HANDLE_VALUE;
    HANDLE null = nullptr;
    const auto handles = machine.HandleCount();
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(null));
    EXPECT_EQ(null, nullptr);
    EXPECT_EQ(machine.HandleCount(), handles);
}

TEST_F(KsAccess, TracesEveryRequestAtLevelSix) {
    LogLevel raised(6);
    ULONG count = 0;
    filter->GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count);
    const auto lines = sim::DebugOutput(machine);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "\n[KS]:CKsIrpTarget::GetPropertySimple() Enter");
    EXPECT_EQ(lines.back(), "\n[KS]:CKsIrpTarget::GetPropertySimple Leave, returning 00000000");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "\n[KS]:CKsIrpTarget::SyncIoctl() Enter"), lines.end());
}

}  // namespace
