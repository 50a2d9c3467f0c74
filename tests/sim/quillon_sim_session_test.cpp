// quillon-sim's recorded session: a short scripted session (service, console, a latency switch) with
// --record, and what its files hold: every file as long as the session, each frame at its machine time,
// so the applications' and the console's signals line up across files by a constant latency per bridge
// opening; session.json names the events and the figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tools/quillon-sim/session.h"

namespace {

struct Wav {
    unsigned channels = 0, bits = 0;
    bool isFloat = false;
    std::vector<std::uint8_t> data;
    std::size_t Frames() const { return channels && bits ? data.size() / (channels * bits / 8) : 0; }
    // A sample as a float (float files) or as the integer left-justified in 32 bits.
    double At(std::size_t frame, unsigned channel) const {
        const std::uint8_t* p = data.data() + (frame * channels + channel) * (bits / 8);
        if (isFloat) {
            float x;
            std::memcpy(&x, p, sizeof x);
            return x;
        }
        std::uint32_t u = 0;
        for (unsigned b = 0; b < bits / 8; ++b) u |= static_cast<std::uint32_t>(p[b]) << (8 * (4 - bits / 8 + b));
        return static_cast<std::int32_t>(u);
    }
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Walks the RIFF chunks; fails the test on a malformed file.
Wav ReadWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Wav wav;
    EXPECT_GE(b.size(), 44u) << path;
    if (b.size() < 44) return wav;
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    EXPECT_EQ(U32(b, 4), b.size() - 8) << path;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t size = U32(b, at + 4);
        if (at + 8 + size > b.size()) break;
        if (std::memcmp(&b[at], "fmt ", 4) == 0) {
            wav.channels = b[at + 10] | b[at + 11] << 8;
            EXPECT_EQ(U32(b, at + 12), 48000u);
            wav.bits = b[at + 22] | b[at + 23] << 8;
            const unsigned tag = b[at + 8] | b[at + 9] << 8;
            wav.isFloat = tag == 3 || (tag == 0xFFFE && b[at + 32] == 3);
        }
        if (std::memcmp(&b[at], "data", 4) == 0)
            wav.data.assign(b.begin() + static_cast<long>(at) + 8, b.begin() + static_cast<long>(at) + 8 + size);
        at += 8 + size + (size & 1);
    }
    return wav;
}

TEST(QuillonSimSession, TheRecordingLinesUpOnTheMachineClock) {
    const std::string dir = testing::TempDir() + "quillon-sim-session";
    std::filesystem::remove_all(dir);
    const char* const args[] = {"--seconds", "6", "--record", dir.c_str()};
    quillon_sim::Options options;
    ASSERT_TRUE(quillon_sim::ParseOptions(4, args, options));
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(quillon_sim::RunSession(options, out), 0);
    std::fclose(out);

    // Every file spans the session.
    const Wav in = ReadWav(dir + "/console-in.wav"), played = ReadWav(dir + "/console-out.wav");
    const Wav system = ReadWav(dir + "/render-11-System.wav"), combo1 = ReadWav(dir + "/capture-01-Combo1.wav");
    EXPECT_EQ(in.channels, 16u);
    EXPECT_EQ(played.channels, 10u);
    EXPECT_EQ(in.bits, 32u);
    EXPECT_TRUE(system.isFloat);
    EXPECT_EQ(system.channels, 2u);
    const std::size_t frames = system.Frames();
    EXPECT_GT(frames, 6u * 48000);
    for (const char* name :
         {"capture-00-System.wav", "capture-10-Headset.wav", "render-14-Virtual_A.wav", "render-15-Virtual_B.wav"})
        EXPECT_EQ(ReadWav(dir + "/" + name).Frames(), frames) << name;
    for (const Wav* w : {&in, &played, &combo1}) EXPECT_EQ(w->Frames(), frames);

    // What "System" played at frame i carries i mod 2048; the console played it later by a latency that
    // is constant within each of the two bridge openings (the user switched the latency at 4 s).
    std::size_t handed = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        if (system.At(i, 0) == 0.0) continue;
        ASSERT_EQ(std::floor(system.At(i, 0) * 32768), 2048 + static_cast<double>(i % 2048)) << i;
        ASSERT_EQ(std::floor(system.At(i, 1) * 32768), 2 * 2048 + static_cast<double>(i % 2048)) << i;
        ++handed;
    }
    EXPECT_GT(handed, 4u * 48000);
    std::set<std::size_t> renderLatencies;
    std::size_t heard = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int64_t>(played.At(i, 0)) >> 16;
        if (v == 0) continue;
        ASSERT_EQ(v / 2048, 1) << i;
        renderLatencies.insert((i + 2048 - static_cast<std::size_t>(v % 2048)) % 2048);
        ++heard;
        for (unsigned c = 6; c < 10; ++c) ASSERT_EQ(played.At(i, c), 0.0) << "unused pair, channel " << c;
    }
    EXPECT_GT(heard, 3u * 48000);
    EXPECT_LE(renderLatencies.size(), 2u);

    // Combo1 records console channel 2, the console's capture pin produced it earlier by a constant
    // latency per opening: console-in's channel 2 at i - latency holds the same value.
    // The console counts its frames from the plug: its frame k lies at machine frame origin + k.
    std::size_t origin = 0;
    for (std::size_t j = 0; j < frames; ++j)
        if (const auto v = static_cast<std::int64_t>(in.At(j, 2)) >> 16) {
            origin = (j + 2048 - static_cast<std::size_t>(v & 2047)) % 2048;
            break;
        }
    std::set<std::size_t> captureLatencies;
    std::size_t recorded = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double x = combo1.At(i, 0);
        if (x == 0.0) continue;
        const auto v = static_cast<std::int64_t>(std::lround(x * 32768));
        ASSERT_EQ(v >> 11, -8) << "console channel 2 at frame " << i;
        const std::size_t phase = static_cast<std::size_t>(v & 2047);
        const std::size_t latency = (i + 4096 - origin - phase) % 2048;
        ASSERT_GE(i, latency);
        ASSERT_EQ(static_cast<std::int64_t>(in.At(i - latency, 2)) >> 16, v) << i;
        captureLatencies.insert(latency);
        ++recorded;
    }
    EXPECT_GT(recorded, 3u * 48000);
    EXPECT_LE(captureLatencies.size(), 2u);

    std::ifstream json(dir + "/session.json");
    const std::string text((std::istreambuf_iterator<char>(json)), std::istreambuf_iterator<char>());
    for (const char* expected :
         {"\"event\": \"console plug\"", "\"event\": \"bridge open\"", "\"event\": \"bridge close\"",
          "\"event\": \"user: Low\"", "\"containerBits\": 32", "\"endpoint\": \"Combo1\"",
          "\"writePacketReportsRefused\": 0"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    EXPECT_EQ(text.find("\"dropped\": 1"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '{'), std::count(text.begin(), text.end(), '}'));
    std::filesystem::remove_all(dir);
}

TEST(QuillonSimSession, OptionsAreTakenAsWrittenAndAnythingElseIsRefused) {
    const char* const good[] = {"--console", "basso-alt", "--pin-mode", "looped",   "--bits", "16",       "--latency",
                                "low",       "--clock",   "real",       "--record", "/tmp/x", "--no-tray"};
    quillon_sim::Options o;
    ASSERT_TRUE(quillon_sim::ParseOptions(13, good, o));
    EXPECT_EQ(o.console, "basso-alt");
    EXPECT_EQ(o.pinMode, sim::PinMode::Looped);
    EXPECT_EQ(o.bits, 16u);
    EXPECT_EQ(o.latency, 1u);
    EXPECT_EQ(o.clock, sim::ClockMode::Real);
    EXPECT_EQ(o.recordDir, "/tmp/x");
    EXPECT_FALSE(o.tray);
    for (auto bad : std::vector<std::vector<const char*>>{{"--bits", "20"},
                                                          {"--console", "tenor"},
                                                          {"--latency"},
                                                          {"--seconds", "0"},
                                                          {"--seconds", "5x"},
                                                          {"--record"},
                                                          {"--frobnicate"}}) {
        quillon_sim::Options ignored;
        EXPECT_FALSE(quillon_sim::ParseOptions(static_cast<int>(bad.size()), bad.data(), ignored)) << bad[0];
    }
}

}  // namespace
