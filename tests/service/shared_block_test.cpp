// Bounded text fields of the shared blocks; the diagnostics record, its reader and its table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Service/Quillon/supervisor/Diagnostics.h"
#include "Service/QuillonDiag/DiagReader.h"
#include "Service/QuillonDiag/DiagTable.h"
#include "Service/common/SharedBlock.h"

namespace {

TEST(SharedBlockText, WriteCopiesAtMost63CharactersAndNeverTouchesTheLastByte) {
    QuillonSharedBlock block;
    std::memset(&block, 0xAA, sizeof block);
    const std::string longText(100, 'q');
    WriteSharedText(block.consoleDescription, longText.c_str());
    EXPECT_EQ(std::string(block.consoleDescription, 63), std::string(63, 'q'));
    EXPECT_EQ(static_cast<unsigned char>(block.consoleDescription[63]), 0xAA);
    EXPECT_EQ(static_cast<unsigned char>(block.firmwareText[0]), 0xAA);  // the next field is untouched

    WriteSharedText(block.consoleDescription, "short");
    EXPECT_STREQ(block.consoleDescription, "short");
    for (int i = 5; i < 63; ++i) EXPECT_EQ(block.consoleDescription[i], 0) << i;
    EXPECT_EQ(static_cast<unsigned char>(block.consoleDescription[63]), 0xAA);
}

TEST(SharedBlockText, ReadStopsAtTheFieldEndWhenTheWriterLeftNoTerminator) {
    QuillonSharedBlock block;
    std::memset(&block, 'z', sizeof block);
    char out[kSharedTextSize + 1];
    ReadSharedText(block.serviceVersion, out);
    EXPECT_EQ(std::string(out), std::string(64, 'z'));

    std::memcpy(block.firmwareText, "Firmware Version: 1.23", 23);
    ReadSharedText(block.firmwareText, out);
    EXPECT_STREQ(out, "Firmware Version: 1.23");
}

}  // namespace

// ---- The diagnostics block: the record built from a snapshot, its publication and reading, the table ----

namespace diag {

// An Alto streaming: every driver stream open with its width, the model's streams in use.
DiagSnapshot AltoStreaming() {
    DiagSnapshot s;
    s.bridgeState = EDiagBridgeState::Streaming;
    s.periodFrames = 96;
    s.model = "Quillon Alto";
    s.bridgeOpenedMs = 1'000;
    s.driverAnswers = 5'000;
    s.capture = {16, 24, 24, 1};
    s.render = {10, 32, 24, 1};
    s.captureFlow = {true, 96, 1, 12'345, 0, 1, 2, 3, 1'000, 0};
    s.renderFlow = {true, 96, 3, -20'000, 48, 4, 5, 6, 2'000, 900};
    for (std::uint32_t i = 0; i < kDiagnosticsPaths; ++i) {
        s.streamChannels[i] = (i >= 1 && i <= 4) || i == 10 ? 1 : 2;
        s.streamUsed[i] = i != 10;
    }
    return s;
}

TEST(DiagnosticsRecord, EachPathTakesItsDirectionsFiguresOnlyWhileRouted) {
    struct Case {
        const char* name;
        void (*change)(DiagSnapshot&);
        const char* states;  // per stream: '.' unused, 'c' copy, 'l' locking, 'r' resampling
        std::uint32_t lockMs;
    };
    const Case cases[] = {
        {"streaming", [](DiagSnapshot&) {}, "cccccccccc.rrrrr", 900},
        {"no bridge", [](DiagSnapshot& s) { s.bridgeState = EDiagBridgeState::NoConsole; }, "................", 0},
        {"stream 3 not opened", [](DiagSnapshot& s) { s.streamChannels[3] = 0; }, "ccc.cccccc.rrrrr", 900},
        {"no capture device", [](DiagSnapshot& s) { s.captureFlow.hasDevice = false; }, "...........rrrrr", 900},
        {"capture still locking", [](DiagSnapshot& s) { s.captureFlow.state = 2; }, "llllllllll.rrrrr", 0},
        {"render still locking", [](DiagSnapshot& s) { s.renderFlow = {true, 96, 2, 0, 0, 0, 0, 0, 10, 0}; },
         "cccccccccc.lllll", 0},
        {"a state the routing does not know", [](DiagSnapshot& s) { s.captureFlow.state = 9; }, "cccccccccc.rrrrr", 900},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiagSnapshot s = AltoStreaming();
        c.change(s);
        DiagnosticsRecord r;
        std::memset(&r, 0xAB, sizeof r);
        BuildDiagnosticsRecord(s, r);
        EXPECT_EQ(r.size, sizeof(DiagnosticsRecord));
        EXPECT_EQ(r.version, 1u);
        EXPECT_EQ(r.sequence, 0u);
        EXPECT_EQ(r.pathCount, 16u);
        EXPECT_EQ(r.lockMs, c.lockMs);
        for (std::uint32_t i = 0; i < kDiagnosticsPaths; ++i) {
            const DiagPathRecord& p = r.paths[i];
            const char state = ".clr"[std::min(p.state, 3u)];
            EXPECT_EQ(state, c.states[i]) << "stream " << i;
            EXPECT_EQ(p.stream, i);
            const DiagFlowSnapshot& flow = i < 11 ? s.captureFlow : s.renderFlow;
            if (state == '.') {
                EXPECT_EQ(p.channels + p.slips + p.lateEvents + p.missedEvents + p.addedLatencyFrames, 0u);
                EXPECT_EQ(p.frames + static_cast<std::uint64_t>(p.driftPpb != 0), 0u);
                continue;
            }
            EXPECT_EQ(p.channels, s.streamChannels[i]);
            EXPECT_EQ(p.driftPpb, flow.driftPpb);
            EXPECT_EQ(p.slips, flow.slips);
            EXPECT_EQ(p.missedEvents, flow.missedEvents);
            EXPECT_EQ(p.frames, flow.blocks * 96);
        }
        for (std::uint32_t w : r.paths[0].reserved) EXPECT_EQ(w, 0u);
    }

    // The bridge's own fields, and nothing of a bridge without one.
    DiagnosticsRecord r;
    BuildDiagnosticsRecord(AltoStreaming(), r);
    EXPECT_EQ(r.sampleRate, 48000u);
    EXPECT_EQ(r.captureBlocks, 1000u);
    EXPECT_EQ(r.renderBlocks, 2000u);
    EXPECT_EQ(r.driverAnswers, 5000u);
    EXPECT_STREQ(r.model, "Quillon Alto");
    DiagSnapshot none = AltoStreaming();
    none.bridgeState = EDiagBridgeState::NoConsole;
    none.model = "a model name far longer than the record's thirty-one characters";
    BuildDiagnosticsRecord(none, r);
    EXPECT_EQ(r.sampleRate + r.capture.channels + r.render.channels, 0u);
    EXPECT_EQ(r.bridgeOpenedMs + r.captureBlocks + r.driverAnswers, 0u);
    EXPECT_EQ(r.periodFrames, 96u);  // the driver's period is known without a console
    EXPECT_EQ(std::strlen(r.model), 31u);
}

// A record published into `shared`, with a hook that rewrites its sequence word mid-copy.
struct Mangle {
    DiagnosticsRecord* shared;
    int times;  // how many copies see the word move
};
void MoveSequence(void* context) {
    auto* m = static_cast<Mangle*>(context);
    if (m->times-- > 0) m->shared->sequence += 2;
}

TEST(DiagnosticsRecord, TheReaderTakesOnlyAWholeRecordItKnows) {
    DiagnosticsRecord fresh;
    BuildDiagnosticsRecord(AltoStreaming(), fresh);
    struct Case {
        const char* name;
        void (*change)(DiagnosticsRecord&);
        std::size_t bytes;
        int mangled;  // copies whose sequence moved under them
        EDiagRead expected;
    };
    const std::size_t whole = sizeof(DiagnosticsRecord);
    const Case cases[] = {
        {"whole", [](DiagnosticsRecord&) {}, whole, 0, EDiagRead::Ok},
        {"rewritten once, then read", [](DiagnosticsRecord&) {}, whole, 1, EDiagRead::Ok},
        {"rewritten on every attempt", [](DiagnosticsRecord&) {}, whole, 100, EDiagRead::Busy},
        {"left odd", [](DiagnosticsRecord& r) { r.sequence |= 1; }, whole, 0, EDiagRead::Busy},
        {"a smaller record", [](DiagnosticsRecord& r) { r.size = 120; }, whole, 0, EDiagRead::TooShort},
        {"a mapping smaller than the record", [](DiagnosticsRecord&) {}, whole - 48, 0, EDiagRead::TooShort},
        {"the header only", [](DiagnosticsRecord&) {}, 8, 0, EDiagRead::TooShort},
        {"nothing", [](DiagnosticsRecord&) {}, 4, 0, EDiagRead::NoRecord},
        {"version 2", [](DiagnosticsRecord& r) { r.version = 2; }, whole, 0, EDiagRead::WrongVersion},
        {"version 0 (zeros)", [](DiagnosticsRecord& r) { std::memset(&r, 0, sizeof r); }, whole, 0,
         EDiagRead::WrongVersion},
        {"a larger record of version 1", [](DiagnosticsRecord& r) { r.size = 4096; }, whole, 0, EDiagRead::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiagnosticsRecord shared;
        std::memset(&shared, 0, sizeof shared);
        PublishDiagnosticsRecord(shared, fresh);
        PublishDiagnosticsRecord(shared, fresh);
        EXPECT_EQ(shared.sequence, 4u);  // two publications: odd, even, odd, even
        c.change(shared);
        Mangle mangle{&shared, c.mangled};
        DiagnosticsRecord out;
        std::memset(&out, 0xEE, sizeof out);
        EXPECT_EQ(ReadDiagnostics(&shared, c.bytes, out, kDiagReadAttempts, MoveSequence, &mangle), c.expected);
        if (c.expected == EDiagRead::Ok) {
            EXPECT_EQ(std::memcmp(&out.bridgeState, &fresh.bridgeState, sizeof out - offsetof(DiagnosticsRecord, bridgeState)),
                      0);
            EXPECT_EQ(out.sequence % 2, 0u);
        }
    }
    EXPECT_EQ(ReadDiagnostics(nullptr, sizeof(DiagnosticsRecord), fresh), EDiagRead::NoRecord);

    // A writer that stopped mid-record left the word odd: the next publication makes it even again.
    DiagnosticsRecord shared{};
    shared.sequence = 7;
    PublishDiagnosticsRecord(shared, fresh);
    EXPECT_EQ(shared.sequence, 10u);
}

TEST(DiagnosticsTable, OneLinePerPathWithItsUnitsUnderAHeaderOnTheBridge) {
    struct Case {
        const char* name;
        void (*change)(DiagSnapshot&);
        std::uint64_t nowMs;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"streaming, render resampling", [](DiagSnapshot&) {}, 13'345,
         {"Quillon bridge: streaming, Quillon Alto, open for 12.3 s\n",
          "  formats  capture 16 ch 24-bit looped, render 10 ch 24-in-32-bit looped, 48000 Hz\n",
          "period 96 frames (2.0 ms), latency Ultra-low (x2), drift correction on, locked after 900 ms\n",
          "console blocks: capture 1000, render 2000; driver events answered 5000\n",
          " 0 capture   2  copy        48000    +12.3     0.0       0      1       2       3  off",
          " 1 capture   1  copy ", "10 capture   -  idle            -        -       -       -      -       -       -  -                    -\n",
          "11 playback  2  resampling  48000    -20.0     1.0      48      4       5       6  on              192000\n",
          "Hz      ppm      ms  frames         events  events"}},
        {"no console, Low, correction off", [](DiagSnapshot& s) {
             s = DiagSnapshot{};
             s.periodFrames = 192;
             s.latencyMultiplier = 4;
             s.driftCorrection = 0;
         }, 5'000,
         {"Quillon bridge: no console\n", "capture none, render none\n",
          "period 192 frames (4.0 ms), latency Low (x4), drift correction off, not locked\n",
          "15 playback  -  idle "}},
        {"opening for an hour and more, standard pins", [](DiagSnapshot& s) {
             s.bridgeState = EDiagBridgeState::Opening;
             s.capture.looped = s.render.looped = 0;
             s.capture = {16, 16, 0, 0};
         }, 1'000 + 3'723'000, {"Quillon bridge: opening, Quillon Alto, open for 1 h 02 min\n", "capture 16 ch 16-bit standard"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DiagSnapshot s = AltoStreaming();
        c.change(s);
        DiagnosticsRecord r;
        BuildDiagnosticsRecord(s, r);
        const std::string text = FormatDiagnosticsTable(r, c.nowMs);
        for (const std::string& e : c.expected) EXPECT_NE(text.find(e), std::string::npos) << e << "\nin:\n" << text;
        std::size_t lines = 0;
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++lines)
            EXPECT_LE(end - at, kDiagTableWidth) << text.substr(at, end - at);
        EXPECT_EQ(lines, 4u + 1 + 2 + 16);
    }
}

}  // namespace diag
