// Finding a console pin's own Windows endpoint: the bus-relations match, the volume control and the
// container id reached through the endpoint's topology.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Service/Quillon/vdriver/EndpointControl.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/text.h"
#include "tests/service/endpoint_scene.h"

namespace {

using Flow = sim::EndpointStore::Flow;

// Candidate strings as the console's filter lists them: its device node's bus relations.
class Candidates {
public:
    explicit Candidates(std::vector<std::string> texts) {
        for (const auto& t : texts) wide_.push_back(sim::Wide(t));
        for (const auto& w : wide_) pointers_.push_back(reinterpret_cast<const WCHAR*>(w.c_str()));
    }
    const WCHAR* const* Data() const { return pointers_.data(); }
    std::size_t Count() const { return pointers_.size(); }

private:
    std::vector<std::u16string> wide_;
    std::vector<const WCHAR*> pointers_;
};

std::vector<std::string> BusRelations(sim::Machine& machine, const std::string& node) {
    std::vector<std::string> list;
    for (const auto& child : machine.Devices().Children(node)) list.push_back(child.instanceId);
    return list;
}

class ConsoleEndpoint : public ::testing::Test {
protected:
    ConsoleEndpoint() {
        console = &s.Plug();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    ~ConsoleEndpoint() override {
        CoUninitialize();
        EXPECT_EQ(s.Store().LiveObjects(), 0);
        EXPECT_EQ(s.Store().LiveTaskMemory(), 0);
    }

    // Runs the search; returns the container id and releases the volume, reporting whether there was one.
    GUID Find(int flow, const Candidates& candidates, bool* hadVolume) {
        IAudioEndpointVolume* volume = reinterpret_cast<IAudioEndpointVolume*>(1);
        GUID container{1, 0, 0, {}};
        FindConsoleEndpoint(flow, candidates.Data(), candidates.Count(), &volume, &container);
        *hadVolume = volume != nullptr;
        if (volume) volume->Release();
        return container;
    }

    // Another render endpoint, listed among the candidates, whose topology leads to `node`.
    std::string AddRival(const GUID& guid, const std::string& node) {
        sim::EndpointStore::Endpoint e;
        e.flow = Flow::Render;
        e.guid = guid;
        e.description = "Rival";
        e.topologyNode = node;
        return s.Store().Add(e);
    }

    scene::Scene s{false};
    sim::Console* console = nullptr;
};

TEST_F(ConsoleEndpoint, FindsBothOfTheConsolesEndpointsWithVolumeAndContainer) {
    const Candidates relations(BusRelations(s.machine, console->AudioInstanceId()));
    bool volume = false;
    EXPECT_EQ(Find(eRender, relations, &volume), console->Config().containerId);
    EXPECT_TRUE(volume);
    EXPECT_EQ(Find(eCapture, relations, &volume), console->Config().containerId);
    EXPECT_TRUE(volume);

    // Candidates that name no endpoint, and no COM: nothing found, outputs emptied.
    const Candidates none({"USB\\VID_046D&PID_0825\\1234", ""});
    EXPECT_EQ(Find(eRender, none, &volume), GUID{});
    EXPECT_FALSE(volume);
    s.machine.InjectFailure("CoCreateInstance", static_cast<DWORD>(E_OUTOFMEMORY), 1);
    EXPECT_EQ(Find(eRender, relations, &volume), GUID{});
    EXPECT_FALSE(volume);
}

TEST_F(ConsoleEndpoint, ASearchGoesOnPastAMatchWithoutVolumeAndStopsAtTheFirstWithOne) {
    // A rival endpoint that enumerates before the console's, under another container.
    sim::DeviceNode otherDevice;
    otherDevice.instanceId = "USB\\VID_0D8C&PID_0014\\5&1&0";
    otherDevice.containerId = GUID{0x22222222, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
    s.machine.Devices().AddDevice(otherDevice);
    const std::string rival = AddRival(GUID{0x00000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}}, otherDevice.instanceId);
    auto list = BusRelations(s.machine, console->AudioInstanceId());
    list.push_back("SWD\\MMDEVAPI\\" + rival);
    const Candidates relations(list);
    ASSERT_EQ(s.Store().Ids(Flow::Render).front(), rival);

    bool volume = false;
    EXPECT_EQ(Find(eRender, relations, &volume), otherDevice.containerId);  // first match with a volume
    EXPECT_TRUE(volume);

    s.Store().FailVolumeActivation(rival);
    EXPECT_EQ(Find(eRender, relations, &volume), console->Config().containerId);  // overwritten later
    EXPECT_TRUE(volume);

    // A matching endpoint whose topology leads nowhere still counts for the volume, with no container.
    s.Store().FailVolumeActivation(rival, false);
    s.machine.InjectFailure("IConnector::GetDeviceIdConnectedTo", static_cast<DWORD>(E_FAIL), 1);
    EXPECT_EQ(Find(eRender, relations, &volume), GUID{});
    EXPECT_TRUE(volume);
}

// The MMDevice API gives the endpoint id with a lower-case GUID; the device tree lists the endpoint's
// node upper-cased. Either spelling must find it.
TEST_F(ConsoleEndpoint, TheMatchIgnoresTheCaseInWhichTheTreeSpellsTheEndpoint) {
    std::string lower = "swd\\mmdevapi\\" + console->RenderEndpointId();
    const Candidates spelled({sim::Lower(lower)});
    bool volume = false;
    EXPECT_EQ(Find(eRender, spelled, &volume), console->Config().containerId);
    EXPECT_TRUE(volume);
}

}  // namespace
