// What the stream fuzzer found in the KS layer: a size query answered with gigabytes made the service
// allocate and clear that much for one property (seconds per property, and out of memory on a small
// machine). Such an answer is not believed; an honest one of some kilobytes still is.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsFilter.h"
#include "Service/Quillon/ks/KsIrpTarget.h"
#include "tests/fuzz_regressions/FuzzRecords.h"
#include "tests/ks/AllocationCounter.h"

namespace {

using fuzzregress::Records;

constexpr std::uint8_t kLyingSizeQuery = 3;

// The largest block the calling thread allocated while `counted` lived (the machine's own bookkeeping
// allocates too).
std::size_t Largest(const kstest::CountAllocations& counted) {
    std::size_t largest = 0;
    for (int i = 0; i < counted.Count() && i < 64; ++i) largest = std::max(largest, counted.Size(i));
    return largest;
}  // FuzzKsDevice.h: ERROR_MORE_DATA with the first word as the size

class KsAnswerSizes : public ::testing::Test {
protected:
    template <class Body>
    void WithFilter(const Records& records, Body body) {
        answers = std::make_unique<fuzz::Answers>(records.Data().data(), records.Data().size());
        device = std::make_shared<fuzz::FuzzFilter>(machine, *answers);
        const std::string instance = "USB\\VID_7A3E&PID_0072&MI_00\\SIZES";
        path = sim::DeviceTree::InterfacePath(instance, KSCATEGORY_AUDIO, "global");
        machine.Devices().AddDevice({instance, {}, "", {}, {}, "Sizes", 0, {}},
                                    {{KSCATEGORY_AUDIO, path, device, SPINT_ACTIVE, ""}});
        sim::ProgramSpec spec;
        spec.imageName = "sizes.exe";
        spec.entry = [&](HINSTANCE) {
            body(reinterpret_cast<const WCHAR*>(path.c_str()));
            return 0;
        };
        ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(spec), 60'000));
    }

    std::unique_ptr<fuzz::Answers> answers;
    sim::Machine machine;
    std::shared_ptr<fuzz::FuzzFilter> device;
    std::u16string path;
};

// No allocation of the stated size, and the property counts as unanswered; the larger of the two also
// for the pin properties of a filter whose pins are otherwise well described.
TEST_F(KsAnswerSizes, SizeQueriesStatingGigabytesAreNotBelieved) {
    Records records;
    records.Pin(KSPIN_DATAFLOW_IN)  // answers the first size query of the ranges
        .Add(fuzz::kPinKey + KSPROPERTY_PIN_DATARANGES, Records::Ranges(16, 32))  // and the fetch after it
        .Add(fuzz::kNodesKey, Records::Words({0x7FFFFFF0}), kLyingSizeQuery)
        .Add(fuzz::kPinKey + KSPROPERTY_PIN_DATARANGES, Records::Words({0xFFFFFFF0}), kLyingSizeQuery);
    WithFilter(records, [&](const WCHAR* name) {
        HRESULT hr = E_FAIL;
        CKsFilter filter(name, &hr);
        ASSERT_EQ(filter.Instantiate(), S_OK);
        void* block = reinterpret_cast<void*>(1);
        ULONG bytes = 1;
        {
            kstest::CountAllocations counted;
            EXPECT_TRUE(FAILED(filter.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &block, &bytes)));
            EXPECT_LT(Largest(counted), 4096u);
        }
        EXPECT_EQ(block, nullptr);
        EXPECT_EQ(bytes, 0u);
        // The pin's first data-range answer is honest, the next ones lie.
        void* ranges = nullptr;
        ASSERT_EQ(filter.GetPinPropertyMulti(0, KSPROPERTY_PIN_DATARANGES, &ranges, &bytes), S_OK);
        EXPECT_GT(bytes, 0u);
        KsFreeBlock(ranges);
        ranges = nullptr;
        {
            kstest::CountAllocations counted;
            EXPECT_TRUE(FAILED(filter.GetPinPropertyMulti(0, KSPROPERTY_PIN_DATARANGES, &ranges, &bytes)));
            EXPECT_LT(Largest(counted), 4096u);
        }
        EXPECT_EQ(ranges, nullptr);
        // The render filter's enumeration fails as for any pin whose ranges cannot be read.
        CKsAudRenFilter audio(name, &hr);
        ASSERT_EQ(audio.Instantiate(), S_OK);
        EXPECT_TRUE(FAILED(audio.EnumeratePins()));
    });
}

TEST_F(KsAnswerSizes, AnAnswerAtTheLimitIsStillRead) {
    Records records;
    records.Pin(KSPIN_DATAFLOW_IN).Add(fuzz::kNodesKey, Records::Words({kKsMaxPropertyAnswerBytes}), kLyingSizeQuery);
    WithFilter(records, [&](const WCHAR* name) {
        HRESULT hr = E_FAIL;
        CKsFilter filter(name, &hr);
        ASSERT_EQ(filter.Instantiate(), S_OK);
        void* block = nullptr;
        ULONG bytes = 0;
        // The fetch itself fails (the device keeps saying "more data"), but only after the block was made.
        kstest::CountAllocations counted;
        filter.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &block, &bytes);
        EXPECT_EQ(Largest(counted), kKsMaxPropertyAnswerBytes);
        KsFreeBlock(block);
    });
}

}  // namespace
