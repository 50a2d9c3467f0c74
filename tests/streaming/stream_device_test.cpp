// The stream devices on the simulated console's pins, in virtual time: packet sizing, the stream thread
// in its three wait modes, the warm-up after every start, and what reaches the callback and the console.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "tests/streaming/StreamBench.h"

namespace {

using streamtest::CallbackLog;
using streamtest::ConsolePins;
using streamtest::InProcess;

struct ConsoleSetup {
    sim::ConsoleModel model = sim::ConsoleModel::Alto;
    sim::PinMode mode = sim::PinMode::Standard;
};

class StreamDevice : public ::testing::Test {
protected:
    void Plug(ConsoleSetup setup = ConsoleSetup{}, const std::function<void(sim::Console&)>& knobs = {}) {
        sim::ConsoleConfig config;
        config.model = setup.model;
        config.pinMode = setup.mode;
        console = std::make_unique<sim::Console>(machine, config);
        if (knobs) knobs(*console);
        console->Plug();
    }

    // A looped capture and render pair streaming for 200 ms: both deliver, and the render pin was told
    // of every packet in order from 0, none refused and none reached unreported.
    void LoopedPairStreams();

    sim::Machine machine;
    std::unique_ptr<sim::Console> console;
};

const sim::ThreadRec* StreamThreadRec(sim::Machine& machine, unsigned id) {
    for (auto* t : machine.Threads())
        if (t->id == id) return t;
    return nullptr;
}

TEST_F(StreamDevice, BufferDurationArithmetic) {
    Plug();
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CKsAudPin* render = pins.OpenRender(10, 32, 24);
        CKsAudPin* capture = pins.OpenCapture(16, 32, 24);
        ASSERT_TRUE(render && capture);
        COutputRenderKS out(render);
        CInputCaptureKS in(capture);
        out.SetBufferDuration(960);  // 96 frames of 10 channels
        in.SetBufferDuration(1536);  // 96 frames of 16 channels
        EXPECT_EQ(out.m_llPacketDuration, 20'000);
        EXPECT_EQ(in.m_llPacketDuration, 20'000);
        EXPECT_EQ(out.m_nPeriodMs, 2u);
        EXPECT_EQ(console->Ks().RenderPin()->BufferDurationMs(), std::optional<ULONG>(2));
        // Under a millisecond: the period is 1, never 0.
        out.SetBufferDuration(240);
        EXPECT_EQ(out.m_llPacketDuration, 5'000);
        EXPECT_EQ(out.m_nPeriodMs, 1u);
        EXPECT_EQ(console->Ks().RenderPin()->BufferDurationMs(), std::optional<ULONG>(1));
        // The same size again does not reach the pin.
        const std::size_t requests = console->Ks().Faults().PropertyLog().size();
        out.SetBufferDuration(240);
        EXPECT_EQ(console->Ks().Faults().PropertyLog().size(), requests);
        EXPECT_EQ(COutputRenderKS::StandardPacketCount(10), 2u);
        EXPECT_EQ(COutputRenderKS::StandardPacketCount(9), 3u);
        EXPECT_EQ(COutputRenderKS::StandardPacketCount(6), 3u);
        EXPECT_EQ(COutputRenderKS::StandardPacketCount(5), 4u);
    });
}

// Standard mode, capture: four reads queued, the thread in event mode at time-critical priority in
// "Pro Audio", 32 packets converted without a callback after every start, then one callback a packet.
TEST_F(StreamDevice, StandardCaptureWarmsUpThenDeliversEveryPacket) {
    Plug();
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CallbackLog log;  // outlives the device, whose thread calls into it
        CInputCaptureKS device(pins.OpenCapture(16, 32, 24));
        device.m_pfnBlockCallback = CallbackLog::Callback;
        device.m_pCallbackContext = &log;
        ASSERT_TRUE(device.AllocateBuffers(96 * 16));
        EXPECT_EQ(device.PacketCount(), 4u);
        EXPECT_EQ(device.CountPacketEvents(), 4u);
        device.StartStreamThread();
        ASSERT_NE(device.m_hStreamThread, INVALID_HANDLE_VALUE);
        Sleep(10);  // the thread waits; nothing moves before Start
        EXPECT_TRUE(log.samples.empty());
        const auto* rec = StreamThreadRec(machine, device.m_nStreamThreadId);
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->priority, THREAD_PRIORITY_TIME_CRITICAL);
        EXPECT_EQ(rec->mmcssTask, "Pro Audio");
        EXPECT_EQ(rec->mmcssPriority, AVRT_PRIORITY_HIGH);

        auto pin = console->Ks().CapturePin();
        const std::uint64_t before = pin->PacketsCompleted();
        ASSERT_TRUE(SUCCEEDED(device.Start()));
        // 32 packets of 2 ms; looking half-way between two packet ends, not at one, where the stream
        // thread may not yet have run.
        Sleep(65);
        EXPECT_TRUE(log.samples.empty());
        EXPECT_EQ(device.WarmUpRemaining(), 0u);
        Sleep(20);
        EXPECT_EQ(log.samples.size(), pin->PacketsCompleted() - before - 32);
        ASSERT_FALSE(log.samples.empty());
        for (auto n : log.samples) EXPECT_EQ(n, 96u * 16u);

        // Again after a stop and a new start.
        device.StopStreaming();
        Sleep(1);  // the thread idles before its log is read
        const std::size_t delivered = log.samples.size();
        Sleep(20);
        EXPECT_EQ(log.samples.size(), delivered);
        ASSERT_TRUE(SUCCEEDED(device.Start()));
        Sleep(60);
        EXPECT_EQ(log.samples.size(), delivered);
        Sleep(10);
        device.StopStreaming();
        Sleep(1);
        EXPECT_GT(log.samples.size(), delivered);
    });
}

// Render: silence to the console during the warm-up and without a callback, then exactly what the
// callback wrote, converted (here 24 valid bits in 32).
TEST_F(StreamDevice, StandardRenderSendsSilenceThenTheCallbacksSamples) {
    Plug();
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CallbackLog log;  // outlives the device, whose thread calls into it
        COutputRenderKS device(pins.OpenRender(10, 32, 24));
        log.fill = [](float* block, std::uint32_t samples, std::uint16_t) {
            for (std::uint32_t i = 0; i < samples; ++i) block[i] = 0.5f;
        };
        ASSERT_TRUE(device.AllocateBuffers(96 * 10));
        EXPECT_EQ(device.PacketCount(), 4u);  // a 2 ms period
        device.StartStreamThread();
        auto pin = console->Ks().RenderPin();
        ASSERT_TRUE(SUCCEEDED(device.Start()));
        Sleep(40);
        // No callback installed: silence.
        for (BYTE b : pin->Rendered()) ASSERT_EQ(b, 0);
        device.m_pfnBlockCallback = CallbackLog::Callback;
        device.m_pCallbackContext = &log;
        Sleep(60);  // past the 64 ms warm-up and the packets queued ahead
        device.StopStreaming();
        Sleep(10);  // the thread idles again before its log is read
        EXPECT_FALSE(log.samples.empty());
        const auto played = pin->Rendered();
        ASSERT_GE(played.size(), 4u);
        std::uint32_t last;
        std::memcpy(&last, played.data() + played.size() - 4, 4);
        EXPECT_EQ(last, 0x40000000u);  // 0.5 x 2^31, low byte cleared
    });
}

void StreamDevice::LoopedPairStreams() {
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CallbackLog inLog, outLog;  // outlive the devices, whose threads call into them
        CInputCaptureKS in(pins.OpenCapture(20, 32, 24));
        COutputRenderKS out(pins.OpenRender(10, 32, 24));
        in.m_pfnBlockCallback = out.m_pfnBlockCallback = CallbackLog::Callback;
        in.m_pCallbackContext = &inLog;
        out.m_pCallbackContext = &outLog;
        // The stream threads flush denormals (MXCSR FTZ and DAZ) before any block reaches the routing.
        std::atomic<unsigned> csr{0};
        outLog.fill = [&](float*, std::uint32_t, std::uint16_t) { csr = _mm_getcsr(); };
        ASSERT_TRUE(in.AllocateBuffers(96 * 20));
        ASSERT_TRUE(out.AllocateBuffers(96 * 10));
        EXPECT_EQ(in.PacketCount(), 2u);
        EXPECT_EQ(in.CountPacketEvents(), 1u);
        EXPECT_EQ(out.CountPacketEvents(), 1u);
        in.StartStreamThread();
        out.StartStreamThread();
        ASSERT_TRUE(SUCCEEDED(in.Start()));
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(200);
        // Taken while the pins run: a wake racing the stop may report a packet the stopped pin refuses.
        auto* pin = console->Ks().RenderPin().get();
        const sim::KsWritePacketCounts counts = pin->WritePacketCounts();
        const std::uint32_t refused = out.m_nWritePacketsRefused.load();
        // The logs are read once both threads have gone idle on stopped pins.
        in.StopStreaming();
        out.StopStreaming();
        Sleep(10);
        // 200 ms of 2 ms packets: the warm-up's 32 and nearly all of the rest reach the callbacks.
        EXPECT_GT(inLog.samples.size(), 60u);
        EXPECT_LE(inLog.samples.size(), 100u - kWarmUpPackets + 1);
        EXPECT_GT(outLog.samples.size(), 60u);
        // Each capture block is a packet of its own: none is delivered twice.
        for (std::size_t i = 1; i < inLog.first.size(); ++i) EXPECT_NE(inLog.first[i], inLog.first[i - 1]) << i;
        const auto reported = pin->WritePackets();
        ASSERT_GE(reported.size(), 90u);
        EXPECT_EQ(reported.front(), 0u);
        for (std::size_t i = 1; i < reported.size(); ++i) EXPECT_EQ(reported[i], reported[i - 1] + 1);
        EXPECT_EQ(counts.Refused(), 0u);
        EXPECT_EQ(counts.unreported, 0u);
        EXPECT_EQ(refused, 0u);
        EXPECT_EQ(console->Ks().CapturePin()->Counts().overruns, 0u);
        EXPECT_EQ(csr.load() & 0x8040u, 0x8040u);
    });
}

TEST_F(StreamDevice, LoopedCaptureAndRenderShareOneNotificationEvent) {
    Plug({sim::ConsoleModel::Basso2026, sim::PinMode::Looped});
    LoopedPairStreams();
}

// Without the packet count the render side finds its region from the position register; without
// GETREADPACKET capture finds its packet from the sentinel words.
TEST_F(StreamDevice, LoopedPinsWithoutPacketCountOrReadPacketStillStreamInOrder) {
    Plug({sim::ConsoleModel::Basso2026, sim::PinMode::Looped}, [](sim::Console& c) {
        c.Ks().Options().rt.packetCount = false;
        c.Ks().Options().rt.readPacket = false;
    });
    LoopedPairStreams();
}

// A capture pin whose packets never change their last word: every packet is found through GETREADPACKET,
// one per notification, and none is taken twice.
TEST_F(StreamDevice, LoopedCaptureWithStaleSentinelsTakesEachPacketOnce) {
    Plug({sim::ConsoleModel::Basso2026, sim::PinMode::Looped},
         [](sim::Console& c) { c.Ks().Options().staleCaptureSentinel = true; });
    LoopedPairStreams();
}

TEST_F(StreamDevice, WritePacketNotImplementedIsNotAskedAgainUntilTheNextStart) {
    Plug({sim::ConsoleModel::Alto, sim::PinMode::Looped});
    // A pin without the property: every request of it is answered ERROR_NOT_FOUND (E_NOTIMPL).
    console->Ks().Faults().FailProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, ERROR_NOT_FOUND);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        COutputRenderKS out(pins.OpenRender(10, 32, 24));
        ASSERT_TRUE(out.AllocateBuffers(96 * 10));
        out.StartStreamThread();
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(50);
        EXPECT_FALSE(out.m_bWritePacketReporting);
        auto count = [&] {
            std::size_t n = 0;
            for (auto& r : console->Ks().Faults().PropertyLog())
                if (r.set == KSPROPSETID_RtAudio && r.id == KSPROPERTY_RTAUDIO_SETWRITEPACKET) ++n;
            return n;
        };
        // Asked once, for packet 0 before the pin runs, then never.
        const std::size_t asked = count();
        EXPECT_EQ(asked, 1u);
        Sleep(100);
        EXPECT_EQ(count(), asked);
        out.StopStreaming();
        Sleep(10);  // the thread is idle before the restart clears the regions it wrote
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(20);
        EXPECT_GT(count(), asked);
        EXPECT_FALSE(out.m_bWritePacketReporting);
    });
}

TEST_F(StreamDevice, ADeviceWhoseThreadNeverStartedIsDestroyedWithoutWaiting) {
    Plug();
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        const auto start = machine.NowMs();
        {
            CInputCaptureKS device(pins.OpenCapture(16, 32, 24));
            ASSERT_TRUE(device.AllocateBuffers(96 * 16));
        }
        EXPECT_LE(machine.NowMs() - start, 4u * 20u);  // at most the 20 ms per unsignalled packet event
    });
}

}  // namespace
