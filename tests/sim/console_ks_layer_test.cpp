// The service's KS layer against the simulated console: the enumeration finds the console's filters
// among other audio devices, and the service's format negotiation (first format offered that the
// console accepts) opens each of the six models in both pin modes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudPin.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"
#include "Service/Quillon/ks/KsEnumFilters.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/console_ks_others.h"
#include "platform/sim/include/sim/text.h"

namespace {

struct Offer {
    WORD tag;
    WORD container;
    WORD valid;
    DWORD mask;
};

WAVEFORMATEXTENSIBLE FormatFor(const Offer& o, WORD channels) {
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = o.tag;
    w.Format.nChannels = channels;
    w.Format.nSamplesPerSec = 48000;
    w.Format.wBitsPerSample = o.container;
    w.Format.nBlockAlign = static_cast<WORD>(channels * o.container / 8);
    w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * 48000u;
    w.Format.cbSize = o.tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
    w.Samples.wValidBitsPerSample = o.valid;
    w.dwChannelMask = o.mask;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return w;
}

// The order the service offers formats in: capture (many channels) tries masks 0 and all-channels
// first, packed 24 before 24-in-32; render tries 24-in-32 first. Both end with plain PCM.
std::vector<Offer> CaptureOffers(WORD channels) {
    std::vector<Offer> offers;
    const DWORD all = channels >= 32 ? 0xFFFFFFFF : (1u << channels) - 1;
    for (DWORD mask : {DWORD{0}, all})
        for (auto [c, v] : {std::pair<WORD, WORD>{32, 32}, {24, 24}, {32, 24}, {16, 16}})
            offers.push_back({WAVE_FORMAT_EXTENSIBLE, c, v, mask});
    for (WORD bits : {24, 32, 16}) offers.push_back({WAVE_FORMAT_PCM, bits, bits, 0});
    return offers;
}

std::vector<Offer> RenderOffers() {
    std::vector<Offer> offers;
    for (auto [c, v] : {std::pair<WORD, WORD>{32, 32}, {32, 24}, {24, 24}, {16, 16}})
        offers.push_back({WAVE_FORMAT_EXTENSIBLE, c, v, 0});
    for (WORD bits : {24, 32, 16}) offers.push_back({WAVE_FORMAT_PCM, bits, bits, 0});
    return offers;
}

template <class Filter, class Open>
CKsAudPin* Negotiate(Filter* filter, const std::vector<Offer>& offers, WORD channels, Open open, Offer* chosen) {
    for (auto& offer : offers) {
        WAVEFORMATEXTENSIBLE w = FormatFor(offer, channels);
        if (CKsAudPin* pin = open(filter, reinterpret_cast<WAVEFORMATEX*>(&w))) {
            *chosen = offer;
            return pin;
        }
    }
    return nullptr;
}

CKsFilter* FindConsoleFilter(CKsEnumFilters& filters, const std::string& pattern) {
    for (auto* node = filters.m_listFilters.GetHead(); node; node = node->pNext)
        if (sim::Lower(sim::Narrow(node->pItem->m_szFilterName)).find(pattern) != std::string::npos) return node->pItem;
    return nullptr;
}

// Runs body as a simulated process: the layer keeps its pin creation function per process.
void InProcess(sim::Machine& machine, const std::function<void()>& body) {
    sim::ProgramSpec spec;
    spec.imageName = "kslayer.exe";
    spec.entry = [&](HINSTANCE) {
        body();
        return 0;
    };
    machine.WaitProcess(machine.StartProcess(spec), 3'600'000);
}

struct Case {
    sim::ConsoleModel model;
    sim::PinMode mode;
};

class ConsoleKsLayer : public testing::TestWithParam<Case> {};

void NegotiateBoth(sim::Console& console, const char* pattern, bool looped);

TEST_P(ConsoleKsLayer, TheFirstFormatOfferedThatTheConsoleAcceptsIsOpened) {
    sim::Machine machine;
    sim::PlugOnboardCodec(machine);
    sim::PlugWebcamMicrophone(machine);
    sim::ConsoleConfig config;
    config.model = GetParam().model;
    config.pinMode = GetParam().mode;
    sim::Console console(machine, config);
    console.Plug();
    char pattern[32];
    std::snprintf(pattern, sizeof pattern, "usb#vid_7a3e&pid_%04x", console.Model().productId);
    const bool looped = GetParam().mode == sim::PinMode::Looped;
    InProcess(machine, [&] { NegotiateBoth(console, pattern, looped); });
}

void NegotiateBoth(sim::Console& console, const char* pattern, bool looped) {
    CKsEnumFilters render;
    ASSERT_TRUE(render.EnumRenderFilters());
    EXPECT_EQ(render.m_listFilters.GetCount(), 2u);  // the codec's and the console's
    auto* renderFilter = static_cast<CKsAudRenFilter*>(FindConsoleFilter(render, pattern));
    ASSERT_NE(renderFilter, nullptr);
    EXPECT_STREQ(renderFilter->m_szFriendlyName, console.Model().displayName);
    Offer chosen{};
    CKsAudPin* pin = Negotiate(renderFilter, RenderOffers(), console.Model().renderChannels,
                               [](CKsAudRenFilter* f, WAVEFORMATEX* w) { return f->CreateRenderPin(w); }, &chosen);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(chosen.container, 32);  // 32/32 is skipped: the console carries 24 valid bits
    EXPECT_EQ(chosen.valid, 24);
    EXPECT_EQ(pin->m_bLoopedSupported, looped ? TRUE : FALSE);
    ASSERT_NE(console.Ks().RenderPin(), nullptr);
    EXPECT_EQ(console.Ks().RenderPin()->Looped(), looped);
    EXPECT_EQ(console.Ks().RenderPin()->Format().channels, console.Model().renderChannels);
    pin->ClosePin();

    CKsEnumFilters capture;
    const bool found = capture.EnumCaptureFilters();
    EXPECT_TRUE(found);  // the codec's and the webcam's at least
    auto* captureFilter = static_cast<CKsAudCapFilter*>(FindConsoleFilter(capture, pattern));
    if (!console.HasCapture()) {
        EXPECT_EQ(captureFilter, nullptr);
        return;
    }
    ASSERT_NE(captureFilter, nullptr);
    pin = Negotiate(captureFilter, CaptureOffers(console.Model().captureChannels), console.Model().captureChannels,
                    [](CKsAudCapFilter* f, WAVEFORMATEX* w) { return f->CreateCapturePin(w); }, &chosen);
    ASSERT_NE(pin, nullptr);
    // 32/32 fails the range; packed 24 passes the range but the driver refuses it, and capture has no
    // fallback; 24-in-32 with mask 0 is next.
    EXPECT_EQ(chosen.container, 32);
    EXPECT_EQ(chosen.valid, 24);
    EXPECT_EQ(chosen.mask, 0u);
    EXPECT_EQ(console.Ks().CapturePin()->Format().channels, console.Model().captureChannels);
    pin->ClosePin();
}

INSTANTIATE_TEST_SUITE_P(
    SixModelsTwoModes, ConsoleKsLayer,
    testing::Values(Case{sim::ConsoleModel::Alto, sim::PinMode::Standard}, Case{sim::ConsoleModel::Alto, sim::PinMode::Looped},
                    Case{sim::ConsoleModel::AltoAlt, sim::PinMode::Standard},
                    Case{sim::ConsoleModel::AltoAlt, sim::PinMode::Looped},
                    Case{sim::ConsoleModel::Alto2026, sim::PinMode::Standard},
                    Case{sim::ConsoleModel::Alto2026, sim::PinMode::Looped},
                    Case{sim::ConsoleModel::Basso, sim::PinMode::Standard}, Case{sim::ConsoleModel::Basso, sim::PinMode::Looped},
                    Case{sim::ConsoleModel::BassoAlt, sim::PinMode::Standard},
                    Case{sim::ConsoleModel::BassoAlt, sim::PinMode::Looped},
                    Case{sim::ConsoleModel::Basso2026, sim::PinMode::Standard},
                    Case{sim::ConsoleModel::Basso2026, sim::PinMode::Looped}));

// One filter of three that cannot be opened leaves the other two in the list; a removed alias drops
// the console's filter from the render list.
TEST(ConsoleKsLayerEnumeration, FiltersThatFailOrLackTheirAliasAreLeftOut) {
    sim::Machine machine;
    auto codec = sim::PlugOnboardCodec(machine);
    auto webcam = sim::PlugWebcamMicrophone(machine);
    sim::Console console(machine);
    console.Plug();
    webcam.faults->RefuseOpen(ERROR_ACCESS_DENIED);
    machine.Devices().SetInterfaceFlags(
        sim::DeviceTree::InterfacePath(console.AudioInstanceId(), KSCATEGORY_RENDER, "render"), SPINT_REMOVED);
    InProcess(machine, [&] {
        CKsEnumFilters capture;
        ASSERT_TRUE(capture.EnumCaptureFilters());
        EXPECT_EQ(capture.m_listFilters.GetCount(), 2u);
        CKsEnumFilters render;
        ASSERT_TRUE(render.EnumRenderFilters());
        ASSERT_EQ(render.m_listFilters.GetCount(), 1u);
        EXPECT_EQ(std::u16string(render.m_listFilters.GetHead()->pItem->m_szFilterName), codec.paths[0]);
    });
}

// Pin A claims the format but refuses it; pin B does not claim it (its ranges under-report) but takes
// it. The render side falls back to B; the capture side has no fallback.
TEST(ConsoleKsLayerEnumeration, RenderFallsBackToAPinThatDoesNotClaimTheFormatCaptureDoesNot) {
    sim::Machine machine;
    const std::string node = "USB\\VID_1234&PID_0001&MI_00\\7&1&0&0000";
    machine.Devices().AddDevice({node, {}, "", {}, {}, "Two pins", 0, {}});
    std::vector<std::u16string> paths;
    for (KSPIN_DATAFLOW flow : {KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT}) {
        sim::KsFilterSpec spec;
        sim::KsPinSpec a = sim::PlainStreamingPin(flow, 10);
        a.sampleFormats = {{16, 16}};
        sim::KsPinSpec b = sim::PlainStreamingPin(flow, 2);
        b.sampleFormats = {{32, 24}};
        b.rangesBindCreation = false;
        spec.pins = {a, b};
        auto filter = std::make_shared<sim::KsFilterDevice>(machine, spec, std::make_shared<sim::KsFaults>(machine),
                                                            "two pins");
        const bool render = flow == KSPIN_DATAFLOW_IN;
        paths.push_back(sim::AddKsFilterInterface(machine, node, render ? "render" : "capture", filter,
                                                  render ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE, true, SPINT_ACTIVE,
                                                  "Two pins"));
    }
    InProcess(machine, [&] {
        WAVEFORMATEXTENSIBLE w = FormatFor({WAVE_FORMAT_EXTENSIBLE, 32, 24, 0}, 10);
        CKsEnumFilters render;
        ASSERT_TRUE(render.EnumRenderFilters());
        auto* renderFilter = static_cast<CKsAudRenFilter*>(render.m_listFilters.GetHead()->pItem);
        CKsAudPin* pin = renderFilter->CreateRenderPin(reinterpret_cast<WAVEFORMATEX*>(&w));
        ASSERT_NE(pin, nullptr);
        EXPECT_EQ(pin->m_ulPinId, 1u);
        pin->ClosePin();
        CKsEnumFilters capture;
        ASSERT_TRUE(capture.EnumCaptureFilters());
        auto* captureFilter = static_cast<CKsAudCapFilter*>(capture.m_listFilters.GetHead()->pItem);
        EXPECT_EQ(captureFilter->CreateCapturePin(reinterpret_cast<WAVEFORMATEX*>(&w)), nullptr);
    });
}

}  // namespace
