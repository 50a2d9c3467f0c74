// The stream devices' steady state and their failure and lifetime paths on the simulated console, in
// virtual time: every frame once and in order in each wait mode (with the wake-ups that costs), the
// warm-up after every start, packets the driver fills short or leaves stale, requests that cannot be
// queued, and devices torn down while their threads run.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <functional>

#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "Service/Quillon/streaming/SampleConversion.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "tests/ks/AllocationCounter.h"
#include "platform/sim/include/sim/console_audio.h"
#include "tests/streaming/StreamBench.h"

namespace {

using streamtest::ConsolePins;
using streamtest::InProcess;

enum class Wait { Event, SharedEvent, Polling };

const char* Name(Wait w) { return w == Wait::Event ? "event" : w == Wait::SharedEvent ? "shared event" : "polling"; }

class StreamPaths : public ::testing::Test {
protected:
    // Standard pins for Wait::Event; real-time pins otherwise, without notification for Wait::Polling.
    void Plug(Wait wait, ULONG instances = 1) {
        sim::ConsoleConfig config;
        config.pinMode = wait == Wait::Event ? sim::PinMode::Standard : sim::PinMode::Looped;
        console = std::make_unique<sim::Console>(machine, config);
        console->Ks().Options().rt.notifications = wait != Wait::Polling;
        console->Ks().Options().instances = instances;
        console->Plug();
    }
    std::size_t Requests(const GUID& set, ULONG id) {
        std::size_t n = 0;
        for (auto& r : console->Ks().Faults().PropertyLog()) n += r.set == set && r.id == id;
        return n;
    }

    sim::Machine machine;
    std::unique_ptr<sim::Console> console;
};

// The console's capture signal at 32 bits (24 valid), recovered exactly from the converted float: the
// 1-based channel (0 for a sample the signal never carries) and the console frame mod 2048.
unsigned ChannelOf(float sample) {
    const auto id = sim::RecoverCaptureSample(sample, 32);
    return id ? id->channel + 1 : 0;
}
unsigned FrameOf(float sample) {
    const auto id = sim::RecoverCaptureSample(sample, 32);
    return id ? id->phase : 0;
}

// A capture callback that checks, without allocating, that frames arrive each once and in order.
struct FrameChecker {
    std::uint32_t calls = 0;
    std::uint32_t nextFrame = 0;
    std::uint32_t breaks = 0;      // blocks not continuing the previous one
    std::uint32_t badChannels = 0;

    static int Callback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
        auto* self = static_cast<FrameChecker*>(context);
        const std::uint32_t frames = samples / channels;
        for (std::uint32_t f = 0; f < frames; ++f) {
            const float* frame = block + f * channels;
            for (unsigned c = 0; c < channels; ++c) self->badChannels += ChannelOf(frame[c]) != c + 1;
            const std::uint32_t n = FrameOf(frame[0]);
            if (f == 0 && self->calls != 0 && n != self->nextFrame) ++self->breaks;
            self->nextFrame = (n + 1) % 2048;
        }
        ++self->calls;
        return 0;
    }
};

// A render callback writing k / 65536 into every sample, k = (7 x frame + channel + 1) mod 65536 over the
// frames it produced: exact at 24 valid bits in 32 (k x 2^15), so the console's integers name the frame.
struct FrameWriter {
    std::uint32_t calls = 0;
    std::uint32_t frame = 0;
    static int Callback(float* block, std::uint32_t samples, std::uint16_t channels, void* context) {
        auto* self = static_cast<FrameWriter*>(context);
        for (std::uint32_t f = 0; f < samples / channels; ++f, ++self->frame)
            for (unsigned c = 0; c < channels; ++c)
                block[f * channels + c] = static_cast<float>((7 * self->frame + c + 1) & 0xFFFF) / 65536.0f;
        ++self->calls;
        return 0;
    }
};

// The 32-bit samples the console played that it still keeps, and the index of the first of them
// counted from the pin's first sample.
struct Played {
    std::uint64_t start = 0;
    std::vector<std::uint32_t> words;
};
Played PlayedSoFar(sim::KsPinDevice& pin) {
    const auto bytes = pin.Rendered();
    const std::uint64_t total = pin.RenderedBytes();
    Played played;
    const std::uint64_t skip = (4 - (total - bytes.size()) % 4) % 4;  // to a whole sample
    played.start = (total - bytes.size() + skip) / 4;
    for (std::uint64_t b = skip; b + 4 <= bytes.size(); b += 4) {
        std::uint32_t w;
        std::memcpy(&w, bytes.data() + b, 4);
        played.words.push_back(w);
    }
    return played;
}

// From absolute sample `from` on.
std::vector<std::uint32_t> PlayedFrom(sim::KsPinDevice& pin, std::uint64_t from) {
    Played played = PlayedSoFar(pin);
    if (from <= played.start) return played.words;
    if (from - played.start >= played.words.size()) return {};
    return {played.words.begin() + static_cast<std::ptrdiff_t>(from - played.start), played.words.end()};
}

class StreamModes : public StreamPaths, public ::testing::WithParamInterface<Wait> {};

// One second of steady capture in each wait mode: every frame once and in order, each packet one
// callback, the stream thread woken once a packet (or every millisecond when polling).
TEST_P(StreamModes, CaptureDeliversEveryFrameOnceAndInOrder) {
    const Wait wait = GetParam();
    Plug(wait);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        FrameChecker check;  // outlives the device, whose thread calls into it
        CInputCaptureKS device(pins.OpenCapture(16, 32, 24));
        device.SetBlockCallback(FrameChecker::Callback, &check);
        ASSERT_TRUE(device.AllocateBuffers(96 * 16));
        EXPECT_EQ(device.CountPacketEvents(), wait == Wait::Event ? 4u : wait == Wait::SharedEvent ? 1u : 0u);
        device.StartStreamThread();
        ASSERT_TRUE(SUCCEEDED(device.Start()));
        Sleep(101);  // the warm-up of 32 packets of 2 ms
        const std::uint64_t waits = machine.CallCount("WaitForMultipleObjects");
        const std::uint32_t calls = check.calls;
        const std::size_t resyncs = Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET);
        Sleep(1000);
        const double wakeUps = static_cast<double>(machine.CallCount("WaitForMultipleObjects") - waits);
        std::printf("[ figures  ] capture, %s mode: %.0f stream-thread wake-ups per second\n", Name(wait), wakeUps);
        EXPECT_EQ(check.calls - calls, 500u);  // the clock is exact: a packet each 2 ms, each one callback
        if (wait == Wait::Polling)  // a poll due with a packet's end may run on either side of it
            EXPECT_NEAR(wakeUps, 1000, 1);
        else
            EXPECT_EQ(wakeUps, 500);
        EXPECT_EQ(check.breaks, 0u);
        EXPECT_EQ(check.badChannels, 0u);
        // Real-time capture asks the pin for the next packet to read once per packet it takes.
        if (wait != Wait::Event) {
            EXPECT_EQ(Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET) - resyncs, 500u);
        }
    });
}

// The same for render: what the console plays is exactly the callback's samples, converted, each frame
// once and in order, after 32 packets of silence.
TEST_P(StreamModes, RenderPlaysEveryFrameOnceAndInOrder) {
    const Wait wait = GetParam();
    Plug(wait);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        FrameWriter writer;  // outlives the device, whose thread calls into it
        COutputRenderKS device(pins.OpenRender(10, 32, 24));
        device.SetBlockCallback(FrameWriter::Callback, &writer);
        if (wait == Wait::Polling) {
            // Render has no fallback without a notification buffer: no packets, the device never renders.
            EXPECT_FALSE(device.AllocateBuffers(96 * 10));
            EXPECT_EQ(device.PacketCount(), 0u);
            return;
        }
        ASSERT_TRUE(device.AllocateBuffers(96 * 10));
        device.StartStreamThread();
        auto pin = console->Ks().RenderPin();
        ASSERT_TRUE(SUCCEEDED(device.Start()));
        Sleep(101);
        // Silence until the first block the callback wrote: the packets primed at the start (queued, or
        // the two regions zeroed), then 32 warm-up packets.
        const auto early = PlayedFrom(*pin, 0);
        const std::size_t packet = 96 * 10;
        std::size_t first = 0;
        while (first < early.size() && early[first] == 0) ++first;
        ASSERT_LT(first, early.size());
        EXPECT_EQ(first % packet, 0u);
        EXPECT_EQ(first / packet, 32u + device.PacketCount());  // real time: the two zeroed regions

        const std::uint64_t waits = machine.CallCount("WaitForMultipleObjects");
        const std::uint32_t calls = writer.calls;
        Sleep(1000);
        const double wakeUps = static_cast<double>(machine.CallCount("WaitForMultipleObjects") - waits);
        std::printf("[ figures  ] render, %s mode: %.0f stream-thread wake-ups per second\n", Name(wait), wakeUps);
        EXPECT_EQ(writer.calls - calls, 500u);
        EXPECT_EQ(wakeUps, 500);

        const Played played = PlayedSoFar(*pin);
        ASSERT_GE(played.start, first);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < played.words.size(); ++i) {
            const std::uint64_t s = played.start + i - first, frame = s / 10, channel = s % 10;
            mismatches += played.words[i] != (((7 * frame + channel + 1) & 0xFFFF) << 15);
        }
        EXPECT_EQ(mismatches, 0u);
        EXPECT_GT(played.words.size(), 20000u * 10u);
    });
}

INSTANTIATE_TEST_SUITE_P(Waits, StreamModes, ::testing::Values(Wait::Event, Wait::SharedEvent, Wait::Polling),
                         [](const auto& info) {
                             return std::string(info.param == Wait::Event         ? "Event"
                                                : info.param == Wait::SharedEvent ? "SharedEvent"
                                                                                  : "Polling");
                         });

// Every start, not only the first: 32 packets without a callback, the 33rd with one, and silence to the
// console meanwhile, even though the packets last held the callback's samples.
TEST_F(StreamPaths, EveryStartWarmsUpAgainWithSilence) {
    Plug(Wait::Event);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        FrameWriter writer;  // outlives the device, whose thread calls into it
        COutputRenderKS device(pins.OpenRender(10, 32, 24));
        device.SetBlockCallback(FrameWriter::Callback, &writer);
        ASSERT_TRUE(device.AllocateBuffers(96 * 10));
        device.StartStreamThread();
        auto pin = console->Ks().RenderPin();
        const std::size_t packet = 96 * 10;
        for (int start = 0; start < 2; ++start) {
            const std::uint64_t from = pin->RenderedBytes() / 4;
            const std::uint32_t calls = writer.calls;
            ASSERT_TRUE(SUCCEEDED(device.Start()));
            Sleep(65);  // 32 packets of 2 ms and a half
            EXPECT_EQ(writer.calls, calls) << "start " << start;
            Sleep(2);
            EXPECT_EQ(writer.calls, calls + 1) << "start " << start;
            Sleep(100);
            device.StopStreaming();
            Sleep(10);  // the stopped pin's cancelled packets come back to the thread
            const auto played = PlayedFrom(*pin, from);
            const std::size_t silent = (32 + device.PacketCount()) * packet;
            ASSERT_GT(played.size(), silent) << "start " << start;
            for (std::size_t i = 0; i < silent; ++i) ASSERT_EQ(played[i], 0u) << "start " << start << ", sample " << i;
            EXPECT_NE(played[silent], 0u);
        }
    });
}

// A stop leaves the thread waiting on whichever packet came next; the start after it queues the ring
// from packet 0. Wherever the ring stood, packets keep coming back and are refilled one by one.
TEST_F(StreamPaths, ARestartFromAnyPlaceInTheRingKeepsThePacketsFlowing) {
    Plug(Wait::Event);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        FrameWriter writer;  // outlives the device, whose thread calls into it
        COutputRenderKS device(pins.OpenRender(10, 32, 24));
        device.SetBlockCallback(FrameWriter::Callback, &writer);
        ASSERT_TRUE(device.AllocateBuffers(96 * 10));
        ASSERT_EQ(device.PacketCount(), 4u);
        device.StartStreamThread();
        auto pin = console->Ks().RenderPin();
        std::set<ULONG> stoppedAt;
        for (int extra = 0; extra < 8; ++extra) {
            const std::uint64_t completed = pin->PacketsCompleted();
            const std::uint32_t calls = writer.calls;
            ASSERT_TRUE(SUCCEEDED(device.Start()));
            Sleep(65 + 40 + extra);  // the warm-up, twenty packets more, and half a packet more each round
            device.StopStreaming();
            Sleep(10);  // counted once the thread idles on the stopped pin
            EXPECT_GE(writer.calls, calls + 20) << "round " << extra;
            EXPECT_GE(pin->PacketsCompleted(), completed + 52) << "round " << extra;
            stoppedAt.insert(device.m_nCurrentPacket.load());
        }
        EXPECT_GE(stoppedAt.size(), 3u);  // the rounds left the ring at several of its packets
    });
}

// Standard capture: the driver's DataUsed decides the block's length, bounded by what the packet holds;
// a float pin's samples pass unconverted both ways.
TEST_F(StreamPaths, StandardPacketsTakeTheDriversLengthAndFloatPinsPassThrough) {
    Plug(Wait::Event, 2);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CInputCaptureKS in(pins.OpenCapture(16, 32, 24));
        ASSERT_TRUE(in.AllocateBuffers(96 * 16));
        std::uint32_t seen = 0;
        float last = 0;
        auto record = [](float* block, std::uint32_t samples, std::uint16_t, void* context) {
            auto* out = static_cast<std::pair<std::uint32_t*, float*>*>(context);
            *out->first = samples;
            *out->second = block[samples - 1];
            return 0;
        };
        std::pair<std::uint32_t*, float*> context{&seen, &last};
        in.SetBlockCallback(record, &context);
        CapturePacket& p = in.m_pPackets[0];
        auto* words = static_cast<std::int32_t*>(p.m_Header.Data);
        for (std::uint32_t i = 0; i < in.m_nPacketSize; ++i) words[i] = 0x40000000;
        p.m_Header.DataUsed = 10 * 4 + 3;  // ten whole samples and a part
        EXPECT_EQ(in.ProcessPacket(0, false), 10u);
        EXPECT_EQ(seen, 10u);
        EXPECT_EQ(last, 0.5f);
        EXPECT_EQ(words[10], 0x40000000);  // past the samples used: untouched
        // A count beyond the packet: only the packet's own samples.
        for (std::uint32_t i = 0; i < in.m_nPacketSize; ++i) words[i] = 0x40000000;
        p.m_bConverted = false;
        p.m_Header.DataUsed = 0xFFFFFFF0u;
        EXPECT_EQ(in.ProcessPacket(0, false), in.m_nPacketSize);
        EXPECT_EQ(seen, in.m_nPacketSize);

        // Float pins: the format's sub-type says IEEE float.
        ConsolePins others(*console);  // second instances, on filters of their own
        CKsAudPin* capture = others.OpenCapture(16, 32, 24);
        CKsAudPin* render = others.OpenRender(10, 32, 24);
        ASSERT_TRUE(capture && render);
        for (CKsAudPin* pin : {capture, render})
            reinterpret_cast<WAVEFORMATEXTENSIBLE*>(pin->m_pWaveFormatEx)->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        CInputCaptureKS floatIn(capture);
        COutputRenderKS floatOut(render);
        ASSERT_TRUE(floatIn.m_bFloatFormat && floatOut.m_bFloatFormat);
        ASSERT_TRUE(floatIn.AllocateBuffers(96 * 16));
        ASSERT_TRUE(floatOut.AllocateBuffers(96 * 10));
        auto* samples = static_cast<float*>(floatIn.m_pPackets[0].m_Header.Data);
        samples[0] = -2.5f;
        samples[1] = 0.125f;
        floatIn.m_pPackets[0].m_Header.DataUsed = 8;
        floatIn.SetBlockCallback(record, &context);
        EXPECT_EQ(floatIn.ProcessPacket(0, false), 2u);
        EXPECT_EQ(samples[0], -2.5f);
        EXPECT_EQ(last, 0.125f);
        auto fill = [](float* block, std::uint32_t, std::uint16_t, void*) {
            block[0] = -2.5f;
            block[1] = 0.125f;
            return 0;
        };
        floatOut.SetBlockCallback(fill, nullptr);
        const ULONG current = floatOut.m_nCurrentPacket;
        floatOut.ProcessPacket(current, false);
        const auto* region = static_cast<const float*>(floatOut.m_pPackets[current].m_Header.Data);
        EXPECT_EQ(region[0], -2.5f);
        EXPECT_EQ(region[1], 0.125f);
        EXPECT_EQ(region[2], 0.0f);  // what the callback left: silence
    });
}

// Real-time capture whose sentinel is stale in both packets: the packet the pin names is used, and its
// sentinel slot is patched, never delivered: with the sample before it at 32 bits, with 0 when the
// samples are narrower (the slot then being the last whole word inside the packet).
TEST_F(StreamPaths, AStaleSentinelIsResolvedByThePinAndNeverDelivered) {
    Plug(Wait::SharedEvent);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        for (WORD bits : {32, 16}) {
            SCOPED_TRACE(bits);
            CInputCaptureKS device(pins.OpenCapture(16, bits, bits == 32 ? 24 : 16));
            ASSERT_TRUE(device.AllocateBuffers(96 * 16));
            ASSERT_EQ(device.PacketCount(), 2u);
            for (ULONG i = 0; i < 2; ++i) {
                const CapturePacket& p = device.m_pPackets[i];
                const BYTE* region = static_cast<const BYTE*>(p.m_Header.Data);
                EXPECT_LE(p.m_pSentinelSlot + 4, region + p.m_Header.FrameExtent);
                EXPECT_GT(p.m_pSentinelSlot + 8, region + p.m_Header.FrameExtent);
                EXPECT_EQ(p.m_pPreviousSampleSlot + 4, p.m_pSentinelSlot);
            }
            // The pin runs without the stream thread: this thread plays it.
            ASSERT_TRUE(SUCCEEDED(device.Start()));
            Sleep(5);  // both packets written once: the pin last wrote packet 1
            for (ULONG i = 0; i < 2; ++i) std::memcpy(device.m_pPackets[i].m_pSentinelSlot, &kCaptureSentinel, 4);
            device.m_nWarmUp = 0;
            std::vector<float> block;
            auto keep = [](float* b, std::uint32_t samples, std::uint16_t, void* context) {
                static_cast<std::vector<float>*>(context)->assign(b, b + samples);
                return 0;
            };
            device.SetBlockCallback(keep, &block);
            const std::size_t asked = Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET);
            EXPECT_EQ(device.ProcessPacket(0, true), 96u * 16u);
            EXPECT_EQ(Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_GETREADPACKET), asked + 1);
            EXPECT_EQ(device.m_nCurrentPacket.load(), 0u);  // packet 1 was used
            ASSERT_EQ(block.size(), 96u * 16u);
            const float sentinel = bits == 32 ? static_cast<float>(0x5A5A5A5A) * SampleConversion::kCapture32Scale
                                              : static_cast<float>(0x5A5A) * SampleConversion::kCapture16Scale;
            for (float v : block) ASSERT_NE(v, sentinel);
            if (bits == 32) {
                EXPECT_EQ(block[block.size() - 1], block[block.size() - 2]);
            } else {
                EXPECT_EQ(block[block.size() - 1], 0.0f);
                EXPECT_EQ(block[block.size() - 2], 0.0f);
                EXPECT_NE(block[block.size() - 3], 0.0f);
            }
            // Resubmitted: the sentinel is armed again.
            std::uint32_t word;
            std::memcpy(&word, device.m_pPackets[1].m_pSentinelSlot, 4);
            EXPECT_EQ(word, kCaptureSentinel);
            device.StopStreaming();
        }
    });
}

// A pin that cannot queue the reads (or writes) at the start: marked not submitted, the thread keeps
// timing out every four periods and no block reaches the callback or the console, while the stream
// position still advances for every submission.
TEST_F(StreamPaths, RequestsThatCannotBeQueuedStallTheDevice) {
    Plug(Wait::Event);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        FrameChecker check;  // outlive the devices, whose threads call into them
        FrameWriter writer;
        CInputCaptureKS in(pins.OpenCapture(16, 32, 24));
        COutputRenderKS out(pins.OpenRender(10, 32, 24));
        in.SetBlockCallback(FrameChecker::Callback, &check);
        out.SetBlockCallback(FrameWriter::Callback, &writer);
        ASSERT_TRUE(in.AllocateBuffers(96 * 16));
        ASSERT_TRUE(out.AllocateBuffers(96 * 10));
        in.StartStreamThread();
        out.StartStreamThread();
        for (CKSDevice* device : {static_cast<CKSDevice*>(&in), static_cast<CKSDevice*>(&out)}) {
            // Of STOP -> ACQUIRE -> PAUSE the second step fails once: the packets are submitted below PAUSE.
            console->Ks().Faults().FailProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                                                ERROR_GEN_FAILURE, 1, sim::kKsAnyPin, 1);
            EXPECT_TRUE(SUCCEEDED(device->Start()));
        }
        EXPECT_EQ(console->Ks().CapturePin()->State(), KSSTATE_RUN);
        EXPECT_EQ(console->Ks().RenderPin()->State(), KSSTATE_RUN);
        for (ULONG i = 0; i < in.PacketCount(); ++i) EXPECT_FALSE(in.m_pPackets[i].m_bSubmitted);
        for (ULONG i = 0; i < out.PacketCount(); ++i) EXPECT_FALSE(out.m_pPackets[i].m_bSubmitted);
        EXPECT_EQ(in.m_llStreamPosition, 4 * in.m_llPacketDuration);
        EXPECT_EQ(out.m_llStreamPosition, static_cast<LONGLONG>(out.PacketCount()) * out.m_llPacketDuration);
        const std::uint64_t waits = machine.CallCount("WaitForMultipleObjects");
        Sleep(400);
        EXPECT_EQ(check.calls, 0u);
        EXPECT_EQ(writer.calls, 0u);
        EXPECT_EQ(in.WarmUpRemaining(), 32u);
        EXPECT_EQ(console->Ks().RenderPin()->RenderedBytes(), 0u);
        // Two threads each timing out every 8 ms.
        EXPECT_NEAR(static_cast<double>(machine.CallCount("WaitForMultipleObjects") - waits), 100, 4);
    });
}

// Real-time render whose write-packet reports all fail (other than E_NOTIMPL): each failure is counted,
// reporting goes on, and every packet's region still comes from the pin's packet count.
TEST_F(StreamPaths, FailedWritePacketReportsAreCountedAndReportingGoesOn) {
    Plug(Wait::SharedEvent);
    console->Ks().Faults().FailProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, ERROR_GEN_FAILURE);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        COutputRenderKS out(pins.OpenRender(10, 32, 24));
        ASSERT_TRUE(out.AllocateBuffers(96 * 10));
        out.StartStreamThread();
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(100);
        out.StopStreaming();
        Sleep(1);  // a packet the thread was handling at the stop is reported in full before counting
        const std::size_t reports = Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET);
        EXPECT_GT(reports, 40u);
        EXPECT_NEAR(static_cast<double>(Requests(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_PACKETCOUNT)),
                    static_cast<double>(reports), 2);  // the two reports of the start ask none
        EXPECT_EQ(out.m_nWritePacketsRefused.load(), reports);
        EXPECT_TRUE(out.m_bWritePacketReporting);
        // The sequence follows the pin's own count: the next packet to write is at most two past the
        // packets the hardware finished (one transferring, one written).
        EXPECT_LE(out.m_nPacketSequence.load(), console->Ks().RenderPin()->PacketsCompleted() + 2);
    });
}

// Devices destroyed while their threads stream, in both pin modes: the thread is gone, the pin
// stopped, and the callback is never called again (its context is freed right after).
TEST_F(StreamPaths, DevicesDestroyedWhileStreamingStopEverything) {
    for (Wait wait : {Wait::Event, Wait::SharedEvent}) {
        SCOPED_TRACE(Name(wait));
        Plug(wait);
        InProcess(machine, [&] {
            ConsolePins pins(*console);
            auto check = std::make_unique<FrameChecker>();
            auto writer = std::make_unique<FrameWriter>();
            auto in = std::make_unique<CInputCaptureKS>(pins.OpenCapture(16, 32, 24));
            auto out = std::make_unique<COutputRenderKS>(pins.OpenRender(10, 32, 24));
            in->SetBlockCallback(FrameChecker::Callback, check.get());
            out->SetBlockCallback(FrameWriter::Callback, writer.get());
            ASSERT_TRUE(in->AllocateBuffers(96 * 16));
            ASSERT_TRUE(out->AllocateBuffers(96 * 10));
            in->StartStreamThread();
            out->StartStreamThread();
            const DWORD threads[2] = {static_cast<DWORD>(in->m_nStreamThreadId), static_cast<DWORD>(out->m_nStreamThreadId)};
            ASSERT_TRUE(SUCCEEDED(in->Start()));
            ASSERT_TRUE(SUCCEEDED(out->Start()));
            Sleep(151);
            EXPECT_GT(check->calls, 0u);
            EXPECT_GT(writer->calls, 0u);
            auto capturePin = console->Ks().CapturePin(), renderPin = console->Ks().RenderPin();
            const auto before = machine.NowMs();
            in.reset();
            out.reset();
            EXPECT_LE(machine.NowMs() - before, 4u * 20u * 2u);
            check.reset();  // freed: a call now would be a use after free
            writer.reset();
            for (auto* t : machine.Threads())
                for (DWORD id : threads) EXPECT_FALSE(t->id == id && t->alive);
            EXPECT_EQ(capturePin->State(), KSSTATE_STOP);
            EXPECT_EQ(renderPin->State(), KSSTATE_STOP);
            EXPECT_EQ(console->Ks().CapturePin(), nullptr);  // the instances are closed
            EXPECT_EQ(console->Ks().RenderPin(), nullptr);
            Sleep(100);  // the console goes on; nothing of the devices is touched
        });
        console.reset();
    }
}

// A callback removed while it runs: SetBlockCallback returns only once that call has finished, so the
// context may be freed right away, and no later packet calls it.
TEST_F(StreamPaths, ACallbackRemovedMidCallIsNeverRunningAfterwards) {
    Plug(Wait::Event);
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        struct Slow {
            std::atomic<bool> inCall{false};
            std::atomic<int> calls{0};
        };
        static std::atomic<bool> removed{false};
        static std::atomic<int> callsAfterRemoval{0};
        removed = false;
        callsAfterRemoval = 0;
        auto slow = std::make_unique<Slow>();
        auto callback = [](float*, std::uint32_t, std::uint16_t, void* context) {
            if (removed) {
                ++callsAfterRemoval;  // the context is not touched
                return 0;
            }
            auto* s = static_cast<Slow*>(context);
            s->inCall = true;
            Sleep(3);  // longer than a packet: the callback is nearly always running
            ++s->calls;
            s->inCall = false;
            return 0;
        };
        CInputCaptureKS in(pins.OpenCapture(16, 32, 24));
        in.SetBlockCallback(callback, slow.get());
        ASSERT_TRUE(in.AllocateBuffers(96 * 16));
        in.StartStreamThread();
        ASSERT_TRUE(SUCCEEDED(in.Start()));
        Sleep(80);
        int spins = 0;
        while (!slow->inCall && spins++ < 10) Sleep(1);
        ASSERT_TRUE(slow->inCall);
        in.SetBlockCallback(nullptr, nullptr);
        removed = true;
        EXPECT_FALSE(slow->inCall);
        EXPECT_GT(slow->calls, 0);
        slow.reset();
        Sleep(50);
        EXPECT_EQ(callsAfterRemoval, 0);
        EXPECT_GT(console->Ks().CapturePin()->PacketsCompleted(), 40u);
    });
}

// Nothing the devices do per packet allocates. Each step of a packet runs here under the counter and
// costs exactly what the machine calls it makes cost alone (the simulated machine may keep records in
// its calls, so each is measured alone too): converting and handing a block over is one lock,
// queuing it the pin request and the device lock (capture in real time: neither).
TEST_F(StreamPaths, PacketWorkAllocatesNothing) {
    for (Wait wait : {Wait::Event, Wait::SharedEvent}) {
        SCOPED_TRACE(Name(wait));
        Plug(wait);
        InProcess(machine, [&] {
            ConsolePins pins(*console);
            std::vector<float> scratch(96 * 16, 0.0f);  // a request of the test's own, for the baselines
            KSSTREAM_HEADER header{};
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
            FrameChecker check;
            FrameWriter writer;
            CInputCaptureKS in(pins.OpenCapture(16, 32, 24));
            COutputRenderKS out(pins.OpenRender(10, 32, 24));
            in.SetBlockCallback(FrameChecker::Callback, &check);
            out.SetBlockCallback(FrameWriter::Callback, &writer);
            ASSERT_TRUE(in.AllocateBuffers(96 * 16));
            ASSERT_TRUE(out.AllocateBuffers(96 * 10));
            ASSERT_TRUE(SUCCEEDED(in.Start()));
            ASSERT_TRUE(SUCCEEDED(out.Start()));
            in.m_nWarmUp = 0;
            out.m_nWarmUp = 0;
            auto allocations = [](const std::function<void()>& step) {
                step();  // the first call on a path may set up the machine's records
                kstest::CountAllocations counted;
                step();
                return counted.Count();
            };
            const bool realTime = wait == Wait::SharedEvent;
            // The pins' packet properties are property requests like those measured elsewhere; here the
            // devices find their packets from the sentinel words and the position register.
            in.m_bReadPacketSupported = false;
            out.m_bPacketCountSupported = false;
            CCountedLock lock;
            const int lockPair = allocations([&] {
                lock.Enter();
                lock.Leave();
            });
            auto requestAlone = [&](bool read) {
                header = KSSTREAM_HEADER{};
                header.Size = sizeof header;
                header.FrameExtent = header.DataUsed = static_cast<ULONG>(scratch.size() * 4);
                header.Data = scratch.data();
                return read ? in.m_pPin->ReadData(&header, &overlapped) : out.m_pPin->WriteData(&header, &overlapped);
            };
            // Capture.
            EXPECT_EQ(allocations([&] {
                          CapturePacket& p = in.m_pPackets[0];
                          if (realTime) std::memset(p.m_pSentinelSlot, 0, 4);  // fresh data
                          else p.m_Header.DataUsed = p.m_Header.FrameExtent;
                          p.m_bConverted = false;
                          in.m_nRtResync = 0;
                          in.ProcessPacket(0, realTime);  // real time: resubmitting re-arms the sentinel
                      }),
                      lockPair);
            if (!realTime) {
                const int alone = allocations([&] { requestAlone(true); });
                EXPECT_EQ(allocations([&] { in.SubmitPacket(1); }), alone + lockPair);
            }
            // Render: real time takes the device lock to choose the packet and to move on, around the
            // callback's lock.
            EXPECT_EQ(allocations([&] { out.ProcessPacket(out.m_nCurrentPacket, false); }),
                      realTime ? 3 * lockPair : lockPair);
            if (realTime) {
                KSRTAUDIO_SETWRITEPACKET_INFO info{1, 0, 0};
                const int alone = allocations([&] {
                    out.m_pPin->SetPropertySimple(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, &info, sizeof info);
                });
                EXPECT_EQ(allocations([&] {
                              out.m_nRtResync = 0;
                              out.SubmitPacket(0);
                          }),
                          alone + lockPair);
            } else {
                const int alone = allocations([&] { requestAlone(false); });
                EXPECT_EQ(allocations([&] { out.SubmitPacket(out.m_nCurrentPacket); }), alone + lockPair);
            }
            EXPECT_GT(check.calls, 0u);
            EXPECT_GT(writer.calls, 0u);
            in.StopStreaming();
            out.StopStreaming();
            CloseHandle(overlapped.hEvent);
        });
        console.reset();
    }
}

}  // namespace
