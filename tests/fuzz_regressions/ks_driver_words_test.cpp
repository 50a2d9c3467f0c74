// What the KS fuzzer found in the filter layer: a pin count that would keep the enumeration walking for
// hours, and communication and data-flow words beyond their enumerations (undefined as enum values).
#include <gtest/gtest.h>

#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsPin.h"
#include "tests/ks/KsTestDevices.h"

namespace {

using kstest::PinSpec;
using kstest::TestFilter;

class KsDriverWords : public ::testing::Test {
protected:
    template <class F>
    std::unique_ptr<F> Open() {
        if (path.empty()) path = kstest::PlugFilter(machine, device, "A");
        HRESULT hr = E_FAIL;
        auto filter = std::make_unique<F>(reinterpret_cast<const WCHAR*>(path.c_str()), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }
    ULONG PinIdsAsked() const {
        ULONG highest = 0;
        for (const auto& r : device->requests)
            if (r.id != KSPROPERTY_PIN_CTYPES && r.pinId + 1 > highest) highest = r.pinId + 1;
        return highest;
    }
    sim::Machine machine;
    std::shared_ptr<TestFilter> device = std::make_shared<TestFilter>(machine);
    std::u16string path;
};

TEST_F(KsDriverWords, AHugePinCountIsReadOnlyUpToTheLimit) {
    device->pins.assign(2, PinSpec{});
    device->pinCount = 0xFFFFFFFF;  // the count says four billion; two pins answer
    kstest::InProcess(machine, [&] {
        auto plain = Open<CKsFilter>();
        EXPECT_EQ(plain->EnumeratePins(), S_OK);
        EXPECT_LE(plain->m_listPins.GetCount(), kKsMaxPinFactories);
        EXPECT_EQ(PinIdsAsked(), kKsMaxPinFactories);

        device->requests.clear();
        auto audio = Open<CKsAudRenFilter>();
        EXPECT_EQ(audio->EnumeratePins(), S_OK);
        EXPECT_EQ(audio->m_listPins.GetCount(), 2u);
        EXPECT_EQ(PinIdsAsked(), kKsMaxPinFactories);
    });
}

TEST_F(KsDriverWords, WordsBeyondTheEnumerationsClassifyLikeTheirNeighbours) {
    PinSpec strangeFlow;  // SINK with a flow that is neither IN nor OUT: counts as OUT
    strangeFlow.dataFlow = 0x20000002;
    PinSpec strangeCommunication;  // in no list
    strangeCommunication.communication = 0x20000002;
    PinSpec render;
    device->pins = {strangeFlow, strangeCommunication, render};
    kstest::InProcess(machine, [&] {
        auto filter = Open<CKsFilter>();
        ASSERT_EQ(filter->EnumeratePins(), S_OK);
        ASSERT_EQ(filter->m_listPins.GetCount(), 3u);
        CKsPin* pins[3];
        int i = 0;
        for (auto* node = filter->m_listPins.GetHead(); node; node = node->pNext) pins[i++] = node->pItem;
        EXPECT_EQ(filter->m_listOutSinkPins.GetCount(), 1u);
        EXPECT_EQ(filter->m_listOutSinkPins.GetHead()->pItem, pins[0]);
        EXPECT_EQ(filter->m_listInSinkPins.GetCount(), 1u);
        EXPECT_EQ(filter->m_listInSinkPins.GetHead()->pItem, pins[2]);
        EXPECT_EQ(filter->m_listBridgePins.GetCount(), 0u);
        KSPIN_COMMUNICATION communication{};
        KSPIN_DATAFLOW flow{};
        pins[1]->GetCommunication(&communication);
        pins[0]->GetDataFlow(&flow);
        EXPECT_EQ(communication, KSPIN_COMMUNICATION_BRIDGE);
        EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
    });
}

}  // namespace
