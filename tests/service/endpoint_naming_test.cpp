// Endpoint naming, showing and hiding against the simulated endpoint store: the identifier walk, the
// naming pass with its read-backs, visibility, and what one show costs.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <vector>

#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/Quillon/vdriver/VadProtocol.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/registry.h"
#include "tests/service/endpoint_scene.h"

namespace {

using Flow = sim::EndpointStore::Flow;

Flow FlowOf(int index) { return index < 11 ? Flow::Capture : Flow::Render; }

std::string NameOf(scene::Scene& s, int index) {
    return s.Store().Name(FlowOf(index), sim::VirtualDriverEndpointGuid(index)).value_or("<none>");
}

// The identifier the walk stores for a driver endpoint: its device instance id from the first "{".
std::string LearnedIdOf(int index) {
    std::string id = sim::VirtualDriverEndpointId(index);
    for (char& c : id)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return id;
}

// Every COM object released, every task-memory block freed, every registry key closed.
void ExpectEverythingReleased(scene::Scene& s) {
    EXPECT_EQ(s.Store().LiveObjects(), 0);
    EXPECT_EQ(s.Store().LiveTaskMemory(), 0);
    EXPECT_EQ(s.machine.HandleCount("RegKey"), 0u);
    EXPECT_EQ(s.machine.HandleCount("DevInfoSet"), 0u);
}

class EndpointNaming : public ::testing::Test {
protected:
    scene::Scene s;
};

TEST_F(EndpointNaming, TheWalkLearnsEveryDriverEndpointFromItsDeviceNodeAndJackSubtype) {
    ASSERT_TRUE(s.InService([&] {
        CVirtualDriverChannel channel;
        ASSERT_TRUE(channel.IsOpen());
        for (int i = 0; i < 16; ++i) EXPECT_EQ(scene::IdText(channel, i), LearnedIdOf(i)) << i;
    }));
    ExpectEverythingReleased(s);
}

// Nodes that are not the driver, a child without "{", a later match replacing an earlier one, and bus
// relations that the device left unterminated.
TEST_F(EndpointNaming, TheWalkTakesOnlyTheDriversExactHardwareIdAndLetsLaterMatchesWin) {
    sim::EndpointStore& store = s.Store();
    auto addNode = [&](const std::string& id, std::vector<std::string> hardwareIds) {
        sim::DeviceNode node;
        node.instanceId = id;
        node.hardwareIds = std::move(hardwareIds);
        node.setupClass = GUID_DEVCLASS_MEDIA;
        s.machine.Devices().AddDevice(node);
    };
    auto addChild = [&](const std::string& parent, const std::string& child, int jackOf, ULONG guidPart) {
        sim::DeviceNode node;
        node.instanceId = child;
        node.parent = parent;
        s.machine.Devices().AddDevice(node);
        sim::EndpointStore::Endpoint e;
        e.flow = FlowOf(jackOf);
        e.guid = GUID{guidPart, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        e.instanceId = child;
        e.jackSubtype = s.machine.Reg()
                            .GetString(sim::EndpointStore::KeyPathOf(FlowOf(jackOf), sim::VirtualDriverEndpointGuid(jackOf)) +
                                           "\\Properties",
                                       "{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},8")
                            .value();
        store.Add(e);
    };
    addNode("ROOT\\MEDIA\\0001", {"root\\quillon_virtualaudio"});  // other case: not the driver
    addChild("ROOT\\MEDIA\\0001", "SWD\\MMDEVAPI\\{0.0.1.00000000}.{AAAA0001-0000-0000-0000-000000000000}", 3,
             0xaaaa0001);
    addNode("ROOT\\MEDIA\\0002", {"Other\\Device", "Root\\Quillon_VirtualAudio"});  // second entry only
    addChild("ROOT\\MEDIA\\0002", "SWD\\MMDEVAPI\\{0.0.1.00000000}.{AAAA0002-0000-0000-0000-000000000000}", 4,
             0xaaaa0002);
    addNode("ROOT\\MEDIA\\0003", {"Root\\Quillon_VirtualAudio"});  // plugged after the driver: wins
    addChild("ROOT\\MEDIA\\0003", "SWD\\MMDEVAPI\\ENDPOINT5", 5, 0xaaaa0003);
    addNode("ROOT\\MEDIA\\0004", {"Root\\Quillon_VirtualAudio"});
    sim::DeviceProperty unterminated;
    unterminated.key = DEVPKEY_Device_BusRelations;
    unterminated.type = DEVPROP_TYPE_STRING_LIST;
    for (char c : std::string("SWD\\MMDEVAPI\\NO-END"))  // no terminator, no closing empty string
        unterminated.data.insert(unterminated.data.end(), {static_cast<BYTE>(c), 0});
    s.machine.Devices().SetProperty("ROOT\\MEDIA\\0004", unterminated);

    ASSERT_TRUE(s.InService([&] {
        CVirtualDriverChannel channel;
        EXPECT_EQ(scene::IdText(channel, 3), LearnedIdOf(3));
        EXPECT_EQ(scene::IdText(channel, 4), LearnedIdOf(4));
        EXPECT_EQ(scene::IdText(channel, 5), "SWD\\MMDEVAPI\\ENDPOINT5");
        EXPECT_EQ(scene::IdText(channel, 6), LearnedIdOf(6));
    }));
    ExpectEverythingReleased(s);
}

TEST_F(EndpointNaming, NamesTheChannelsEndpointsAndLeavesEveryOtherEndpointAlone) {
    s.Plug();
    sim::EndpointStore::Endpoint other;  // another product's endpoint with a matching-looking name
    other.flow = Flow::Capture;
    other.guid = GUID{0x01234567, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    other.description = "Microphone";
    other.hardwareText = "{1}.USB\\VID_046D&PID_0825\\0000";
    other.matchText = "System Input";
    s.Store().Add(other);

    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        const auto writes = s.machine.CallCount("RegSetValueExA");
        const auto storeWrites = s.machine.CallCount("IPropertyStore::SetValue");
        RenameEndpoint(supervisor, 0);
        // A name that reads back at once costs one registry write and one property-store write.
        EXPECT_EQ(s.machine.CallCount("RegSetValueExA") - writes, 1u);
        EXPECT_EQ(s.machine.CallCount("IPropertyStore::SetValue") - storeWrites, 1u);
        RenameEndpoint(supervisor, 11);
        RenameEndpoint(supervisor, 9);
        EXPECT_EQ(supervisor.m_RenamePending[0], 0);
        EXPECT_EQ(supervisor.m_RenamePending[11], 0);
        EXPECT_EQ(supervisor.m_RenamePending[9], 0);
    }));
    EXPECT_EQ(NameOf(s, 0), "System");   // "system input"
    EXPECT_EQ(NameOf(s, 11), "System");  // "system output"
    EXPECT_EQ(NameOf(s, 9), "USB2");
    EXPECT_EQ(NameOf(s, 1), "Line 2");
    EXPECT_EQ(NameOf(s, 12), "Speakers 2");
    EXPECT_EQ(s.Store().Name(Flow::Capture, other.guid), "Microphone");
    EXPECT_EQ(s.Store().Name(Flow::Capture, s.console->Config().captureEndpointGuid), "Line");
    EXPECT_EQ(s.Store().Name(Flow::Render, s.console->Config().renderEndpointGuid), "Speakers");
    ExpectEverythingReleased(s);
}

// The Windows audio service rewrites the name behind the service's back: every read-back differs,
// the rename stays pending, and each later try succeeds once the writer has stopped interfering.
TEST_F(EndpointNaming, ARenameThatNeverReadsBackIsWrittenFiveTimesAndRetriedUntilItHolds) {
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        s.Store().InterfereWithNameWrites(5);
        const auto writes = s.machine.CallCount("RegSetValueExA");
        RenameEndpoint(supervisor, 13);
        EXPECT_EQ(s.machine.CallCount("RegSetValueExA") - writes, 5u);
        EXPECT_EQ(supervisor.m_RenamePending[13], 1);

        // Twelve more interfered writes: two whole tries (five registry writes and one property-store
        // write each) fail, the third holds.
        s.Store().InterfereWithNameWrites(12);
        int tries = 0;
        do {
            RenameEndpoint(supervisor, 13);
            ++tries;
        } while (supervisor.m_RenamePending[13] && tries < 10);
        EXPECT_EQ(tries, 3);
        EXPECT_EQ(s.Store().InterferenceLeft(), 0);
    }));
    EXPECT_EQ(NameOf(s, 13), "Music");
}

// Failures the naming pass meets: a name write the registry refuses every time, an endpoint store
// that cannot be opened, a value too long for its buffer, no COM.
TEST_F(EndpointNaming, ARenameThatNeverGetsItsNameInPlaceStaysPending) {
    const std::string props = sim::EndpointStore::KeyPathOf(Flow::Capture, sim::VirtualDriverEndpointGuid(2)) + "\\Properties";
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);

        s.machine.InjectFailure("RegSetValueExA", ERROR_ACCESS_DENIED, 5);
        RenameEndpoint(supervisor, 2);
        EXPECT_EQ(supervisor.m_RenamePending[2], 1);  // never confirmed: not a completed rename

        s.machine.InjectFailure("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1);
        RenameEndpoint(supervisor, 3);
        EXPECT_EQ(supervisor.m_RenamePending[3], 1);

        s.machine.InjectFailure("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY), 1);
        RenameEndpoint(supervisor, 5);
        EXPECT_EQ(supervisor.m_RenamePending[5], 1);
        RenameEndpoint(supervisor, 5);
        EXPECT_EQ(supervisor.m_RenamePending[5], 0);

        // A match-key value longer than the 16384-byte buffer: skipped, so the channel has no endpoint.
        s.machine.Reg().SetString(props, "{233164c8-1b2c-4c7d-bc68-b671687a2567},1", std::string(20000, 'x') + "combo2");
        RenameEndpoint(supervisor, 2);
        EXPECT_EQ(supervisor.m_RenamePending[2], 1);
    }));
    EXPECT_EQ(NameOf(s, 2), "Combo2");  // the property store put it in place; the registry pass never did
    ExpectEverythingReleased(s);
}

TEST_F(EndpointNaming, WithoutAnIdentifierHideAndShowSkipTheVisibilityCallButStillDisable) {
    // Stream 4's endpoint is gone from the store: its identifier stays unknown.
    s.machine.Reg().DeleteKey(sim::EndpointStore::KeyPathOf(Flow::Capture, sim::VirtualDriverEndpointGuid(4)));
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        ASSERT_EQ(supervisor.m_Channel.m_pEndpointIds[4], nullptr);
        s.Store().ClearVisibilityCalls();
        s.driver.ClearRequests();
        supervisor.m_RenamePending[4] = 1;
        HideEndpoint(supervisor, 4);
        // The policy object reads the id it is given: a null one would be an access violation.
        EXPECT_TRUE(s.Store().VisibilityCalls().empty());
        const auto requests = s.driver.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, IOCTL_VAD_CAPTURE_DISABLE);
        std::uint32_t local = 99;
        std::memcpy(&local, requests[0].input.data(), sizeof local);
        EXPECT_EQ(local, 4u);
        EXPECT_EQ(supervisor.m_RenamePending[4], 0);
    }));
}

TEST_F(EndpointNaming, ShowDoesNothingForAChannelTheModelLacksAndNamesAndShowsOtherwise) {
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        s.Store().ClearVisibilityCalls();
        s.driver.ClearRequests();
        const auto writes = s.machine.CallCount("RegSetValueExA");
        ShowEndpoint(supervisor, 1);  // no model attached
        supervisor.m_pCurrentModel = &QuillonBasso();
        ShowEndpoint(supervisor, 3);  // Basso has no Combo3
        EXPECT_TRUE(s.driver.Requests().empty());
        EXPECT_TRUE(s.Store().VisibilityCalls().empty());
        EXPECT_EQ(s.machine.CallCount("RegSetValueExA"), writes);

        // The driver refuses the enable: the endpoint is still named and made visible.
        s.driver.RefuseEnable(1);
        ShowEndpoint(supervisor, 14);
        EXPECT_EQ(s.Store().Visible(sim::VirtualDriverEndpointId(14)), true);
        EXPECT_EQ(supervisor.m_RenamePending[14], 0);
        ShowEndpoint(supervisor, 2);
        EXPECT_TRUE(s.driver.StreamEnabled(sim::VirtualAudioDriver::Flow::Capture, 2));
        EXPECT_EQ(s.Store().Visible(sim::VirtualDriverEndpointId(2)), true);
    }));
    EXPECT_EQ(NameOf(s, 14), "Virtual A");
    EXPECT_EQ(NameOf(s, 2), "Combo2");
    // Destroying the supervisor hid everything again.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(s.Store().Visible(sim::VirtualDriverEndpointId(i)), false) << i;
    ExpectEverythingReleased(s);
}

// One show walks the media class, both data-flow keys for every child, every endpoint of the flow and,
// through the property store, every endpoint of the machine. The figure is printed for the record.
TEST_F(EndpointNaming, OneShowAgainstSixteenDriverEndpointsAndOthersCostsAFixedWalk) {
    s.Plug();
    for (ULONG n = 0; n < 2; ++n) {
        sim::EndpointStore::Endpoint other;
        other.flow = n ? Flow::Render : Flow::Capture;
        other.guid = GUID{0x0f000000 + n, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
        other.description = n ? "Headphones" : "Webcam";
        s.Store().Add(other);
    }
    const char* registryCalls[] = {"RegOpenKeyExA", "RegOpenKeyExW", "RegEnumKeyExA", "RegEnumKeyExW",
                                   "RegGetValueA",  "RegGetValueW",  "RegSetValueExA", "RegCloseKey"};
    const char* comCalls[] = {"CoCreateInstance",
                              "IMMDeviceEnumerator::EnumAudioEndpoints",
                              "IMMDeviceCollection::GetCount",
                              "IMMDeviceCollection::Item",
                              "IMMDevice::OpenPropertyStore",
                              "IMMDevice::GetId",
                              "IPropertyStore::GetValue",
                              "IPropertyStore::SetValue",
                              "IPolicyConfig::SetEndpointVisibility"};
    auto total = [&](const auto& names) {
        std::uint64_t sum = 0;
        for (const char* n : names) sum += s.machine.CallCount(n);
        return sum;
    };
    std::uint64_t registry = 0, com = 0, setup = 0;
    std::map<std::string, std::uint64_t> before, each;
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        supervisor.m_pCurrentModel = &QuillonAlto();
        const auto r0 = total(registryCalls), c0 = total(comCalls);
        const auto s0 = s.machine.CallCount("SetupDiGetDevicePropertyW");
        for (const auto& names : {std::vector<const char*>(std::begin(registryCalls), std::end(registryCalls)),
                                  std::vector<const char*>(std::begin(comCalls), std::end(comCalls))})
            for (const char* n : names) before[n] = s.machine.CallCount(n);
        ShowEndpoint(supervisor, 12);
        for (const auto& [n, count] : before) each[n] = s.machine.CallCount(n) - count;
        registry = total(registryCalls) - r0;
        com = total(comCalls) - c0;
        setup = s.machine.CallCount("SetupDiGetDevicePropertyW") - s0;
        EXPECT_EQ(supervisor.m_RenamePending[12], 0);
        EXPECT_EQ(s.Store().LiveObjects(), 0);
    }));
    std::cout << "one ShowEndpoint: " << registry << " registry calls, " << com << " COM calls, " << setup
              << " device-property reads\n";
    for (const auto& [n, count] : each) std::cout << "  " << n << ": " << count << "\n";
    ::testing::Test::RecordProperty("ShowEndpointRegistryCalls", static_cast<int>(registry));
    ::testing::Test::RecordProperty("ShowEndpointComCalls", static_cast<int>(com));
    EXPECT_GT(registry, 16u * 2);  // at least both flows per driver child
    EXPECT_EQ(NameOf(s, 12), "Game");
    ExpectEverythingReleased(s);
}

}  // namespace
