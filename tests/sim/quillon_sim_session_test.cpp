// quillon-sim as a command: a short scripted session with --record and --plot, and what its files hold
// (every file as long as the session, each frame at its machine time, so the applications' and the
// console's signals line up across files by a constant latency per bridge opening; session.json names the
// events and the figures; the picture renders); the command line's errors and exit codes; the verdict;
// and a session interrupted by SIGINT, whose files are valid WAVE files before and after.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tools/quillon-sim/session.h"
#include "tools/quillon-sim/verdict.h"

namespace {

struct Wav {
    unsigned channels = 0, bits = 0, validBits = 0;
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

// Walks the RIFF chunks; fails the test on a malformed file. `growing`: the file is still being written,
// so it may hold more than its header says yet (never less).
Wav ReadWav(const std::string& path, bool growing = false) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<std::uint8_t> b(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    Wav wav;
    EXPECT_GE(b.size(), 44u) << path;
    if (b.size() < 44) return wav;
    EXPECT_EQ(std::memcmp(b.data(), "RIFF", 4), 0);
    if (growing)
        EXPECT_LE(U32(b, 4), b.size() - 8) << path;
    else
        EXPECT_EQ(U32(b, 4), b.size() - 8) << path;
    bool data = false;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t size = U32(b, at + 4);
        if (at + 8 + size > b.size()) break;
        if (std::memcmp(&b[at], "fmt ", 4) == 0) {
            wav.channels = b[at + 10] | b[at + 11] << 8;
            EXPECT_EQ(U32(b, at + 12), 48000u);
            wav.bits = b[at + 22] | b[at + 23] << 8;
            const unsigned tag = b[at + 8] | b[at + 9] << 8;
            wav.isFloat = tag == 3 || (tag == 0xFFFE && b[at + 32] == 3);
            wav.validBits = tag == 0xFFFE ? (b[at + 26] | b[at + 27] << 8) : wav.bits;
            EXPECT_EQ(U32(b, at + 16), 48000u * wav.channels * wav.bits / 8) << path;
        }
        if (std::memcmp(&b[at], "data", 4) == 0) {
            data = true;
            wav.data.assign(b.begin() + static_cast<long>(at) + 8, b.begin() + static_cast<long>(at) + 8 + size);
        }
        at += 8 + size + (size & 1);
    }
    EXPECT_TRUE(data) << path << ": no whole data chunk";
    // Programs that refuse padded samples (sox) open the file.
    EXPECT_EQ(wav.validBits, wav.bits) << path;
    return wav;
}

// Every WAVE file in `dir`, also opened by sox and libsndfile where they are installed.
std::vector<std::string> CheckEveryFile(const std::string& dir, bool growing) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".wav") names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        ReadWav(name, growing);
        // sox --i exits non-zero on a file it cannot open; sndfile-info prints the format it opened.
        for (const char* tool : {"sox --i", "sndfile-info"}) {
            const std::string program = std::string(tool).substr(0, std::string(tool).find(' '));
            if (std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) != 0) continue;
            const std::string command = std::string(tool) + " '" + name + "' 2>&1";
            std::FILE* pipe = popen(command.c_str(), "r");
            EXPECT_NE(pipe, nullptr) << command;
            if (!pipe) continue;
            std::string said;
            for (char buffer[256]; std::fgets(buffer, sizeof buffer, pipe);) said += buffer;
            const int status = pclose(pipe);
            EXPECT_EQ(status, 0) << command << ": " << said;
            EXPECT_EQ(said.find("could not open"), std::string::npos) << command << ": " << said;
            EXPECT_NE(said.find("48000"), std::string::npos) << command << ": " << said;
        }
    }
    return names;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return {(std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()};
}

TEST(QuillonSimSession, TheRecordingLinesUpOnTheMachineClock) {
    const std::string dir = testing::TempDir() + "quillon-sim-session";
    std::filesystem::remove_all(dir);
    // An earlier run's file is replaced, anything else in the folder stays.
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/capture-03-Old_name.wav") << "an earlier run";
    std::ofstream(dir + "/notes.txt") << "mine";
    const std::string plot = dir + "/session.svg";
    const char* const args[] = {"--seconds", "6", "--record", dir.c_str(), "--plot", plot.c_str()};
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(quillon_sim::RunCommand(6, args, out, stderr), quillon_sim::kExitClean);
    std::rewind(out);
    std::string timeline;
    for (char line[512]; std::fgets(line, sizeof line, out);) {
        EXPECT_LE(std::strlen(line), 121u) << line;  // 120 columns and the newline
        timeline += line;
    }
    std::fclose(out);
    EXPECT_NE(timeline.find("first audio through, in:"), std::string::npos);
    EXPECT_NE(timeline.find("first audio through, out:"), std::string::npos);
    EXPECT_NE(timeline.find("\nsummary: PASS: 22 paths carried audio"), std::string::npos);
    // The service's own diagnostics view, as QuillonDiag shows it, from the block while the service ran.
    EXPECT_NE(timeline.find("The service's diagnostics view (QuillonDiag --once), as last read at 6.0 s"), std::string::npos);
    EXPECT_NE(timeline.find("\n  Quillon bridge: streaming, Quillon Alto, open for "), std::string::npos);
    EXPECT_NE(timeline.find("\n   0 capture   2  copy        48000"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/capture-03-Old_name.wav"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/notes.txt"));
    EXPECT_EQ(CheckEveryFile(dir, false).size(), 18u);

    // The picture: well-formed XML (rendered to PNG where rsvg-convert is installed) with a lane per path.
    const std::string svg = ReadText(plot);
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find(">capture 01 Combo1 L</text>"), std::string::npos);
    EXPECT_NE(svg.find(">render 13 Music R</text>"), std::string::npos);
    EXPECT_NE(svg.find(">latency Low</text>"), std::string::npos);
    const std::string check =
        std::system("command -v rsvg-convert >/dev/null 2>&1") == 0
            ? "rsvg-convert -o '" + dir + "/session.png' '" + plot + "' && test -s '" + dir + "/session.png'"
            : "python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' '" + plot + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << check;

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
         {"capture-00-System.wav", "capture-10-Line_11.wav", "render-14-Virtual_A.wav", "render-15-Virtual_B.wav"})
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

    const std::string text = ReadText(dir + "/session.json");
    for (const char* expected :
         {"\"event\": \"console plug\"", "\"event\": \"bridge open\"", "\"event\": \"bridge close\"",
          "\"event\": \"user: Low\"", "\"containerBits\": 32", "\"endpoint\": \"Combo1\"",
          "\"writePacketReportsRefused\": 0", "\"interrupted\": false", "\"exitCode\": 0",
          "\"event\": \"first audio\"", "\"diagnostics\": {\"readAt\": 6.0, \"bridgeState\": \"streaming\"",
          "\"periodFrames\": 192, \"latencyMultiplier\": 4", "{\"stream\": 10, \"state\": \"idle\", \"channels\": 0"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    EXPECT_EQ(text.find("\"dropped\": 1"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '{'), std::count(text.begin(), text.end(), '}'));
    std::filesystem::remove_all(dir);
}

TEST(QuillonSimSession, OptionsAreTakenAsWrittenAndAnythingElseIsRefusedInOneLine) {
    const char* const good[] = {"--console", "basso-alt", "--pin-mode", "looped",   "--bits",    "16",
                                "--latency", "low",       "--clock",    "real",     "--record",  "/tmp/x",
                                "--no-tray", "--seed=7",  "--plot",     "p.svg"};
    quillon_sim::Options o;
    ASSERT_EQ(quillon_sim::ParseOptions(16, good, o), "");
    EXPECT_EQ(o.console, "basso-alt");
    EXPECT_EQ(o.pinMode, sim::PinMode::Looped);
    EXPECT_EQ(o.bits, 16u);
    EXPECT_EQ(o.latency, 1u);
    EXPECT_EQ(o.clock, sim::ClockMode::Real);
    EXPECT_EQ(o.recordDir, "/tmp/x");
    EXPECT_EQ(o.plotFile, "p.svg");
    EXPECT_EQ(o.seed, 7u);
    EXPECT_FALSE(o.tray);

    // Each bad command line: exit code 2 and one line on stderr naming the argument and what is allowed.
    struct Bad {
        std::vector<const char*> args;
        const char* error;
    };
    const Bad bad[] = {
        {{"--bits", "20"}, "--bits 20: expected 16, 24 or 32"},
        {{"--seconds", "0"}, "--seconds 0: expected a whole number of seconds from 1 to 86400"},
        {{"--seconds", "5x"}, "--seconds 5x: expected a whole number of seconds from 1 to 86400"},
        {{"--seconds", "-3"}, "--seconds -3: expected a whole number of seconds from 1 to 86400"},
        {{"--seed", "18446744073709551616"}, "--seed 18446744073709551616: expected a whole number from 0 to"},
        {{"--console", "tenor"}, "--console tenor: expected alto, alto-alt, alto-2026, basso, basso-alt, basso-2026"},
        {{"--latency", "high"}, "--latency high: expected ultra-low or low"},
        {{"--clock", "fast"}, "--clock fast: expected virtual or real"},
        {{"--pin-mode", "pulled"}, "--pin-mode pulled: expected standard or looped"},
        {{"--latency"}, "--latency: needs a value (expected ultra-low or low)"},
        {{"--record", "--verbose"}, "--record: needs a value (expected a folder name)"},
        {{"--record="}, "--record \"\": expected a folder name"},
        {{"--verbose=yes"}, "--verbose: takes no value"},
        {{"--frobnicate"}, "--frobnicate: unknown option (quillon-sim --help lists the options)"},
        {{"alto"}, "alto: unexpected argument"},
    };
    for (const Bad& b : bad) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        ASSERT_TRUE(out && err);
        EXPECT_EQ(quillon_sim::RunCommand(static_cast<int>(b.args.size()), b.args.data(), out, err),
                  quillon_sim::kExitUsage)
            << b.error;
        EXPECT_EQ(std::ftell(out), 0) << b.error;
        std::rewind(err);
        char line[256] = {};
        ASSERT_NE(std::fgets(line, sizeof line, err), nullptr) << b.error;
        EXPECT_EQ(std::string(line).rfind(std::string("quillon-sim: ") + b.error, 0), 0u) << line;
        EXPECT_EQ(std::fgetc(err), EOF) << b.error << ": more than one line";
        std::fclose(out);
        std::fclose(err);
    }
}

TEST(QuillonSimSession, ExitCodesSayWhatHappened) {
    auto run = [](std::vector<const char*> args, std::string* said = nullptr) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int code = quillon_sim::RunCommand(static_cast<int>(args.size()), args.data(), out, err);
        if (said) {
            std::rewind(out);
            for (char line[512]; std::fgets(line, sizeof line, out);) *said += line;
        }
        std::fclose(out);
        std::fclose(err);
        return code;
    };
    std::string usage;
    EXPECT_EQ(run({"--help"}, &usage), quillon_sim::kExitClean);
    for (const char* legend : {"EXIT CODES", "late answer", "identifying signal", "period, half", "--plot FILE"})
        EXPECT_NE(usage.find(legend), std::string::npos) << legend;

    // Nowhere to write: a folder under a file.
    const std::string file = testing::TempDir() + "quillon-sim-not-a-folder";
    std::ofstream(file) << "x";
    const std::string under = file + "/rec", plot = file + "/p.svg";
    EXPECT_EQ(run({"--record", under.c_str()}), quillon_sim::kExitCannotWrite);
    EXPECT_EQ(run({"--console", "none", "--no-tray", "--seconds", "2", "--plot", plot.c_str()}),
              quillon_sim::kExitCannotWrite);
    std::filesystem::remove(file);

    // The verdict: glitches within what the script disturbs pass, one outside fails and is named.
    std::vector<sim::PathStats> paths(3);
    paths[0].stream = 1;
    paths[0].runs.resize(1);
    paths[1].stream = 12;
    paths[1].channel = 1;
    paths[1].runs.resize(1);
    const std::vector<quillon_sim::ScriptSpan> spans = {{96'000, 110'000}};
    const sim::Glitch inside{true, 1, 0, sim::GlitchKind::Dropped, 96'000, 96'500, 480};
    const sim::Glitch repeated{false, 12, 1, sim::GlitchKind::Repeated, 200'000, 200'000, 1};
    const sim::Glitch dropped{true, 1, 0, sim::GlitchKind::Dropped, 150'000, 150'100, 96};
    const sim::Glitch straddling{true, 1, 0, sim::GlitchKind::Misrouted, 109'000, 111'000, 7};
    quillon_sim::EndpointNames names;
    struct Case {
        std::vector<sim::Glitch> glitches;
        int exitCode;
        const char* text;
    } cases[] = {
        {{}, 0, "PASS: 2 paths carried audio, no frame dropped, repeated, misrouted or slipped outside the script"},
        {{inside}, 0, "PASS: 2 paths carried audio, no frame dropped, repeated, misrouted or slipped outside the script"
                      " (the script's own changes: dropped 480 fr)"},
        {{inside, repeated, dropped}, 1,
         "FAIL: dropped 96 fr, repeated 1 fr on 2 of 2 paths; first capture 01 Combo1 L at 3.125 s, 96 fr dropped"},
        {{straddling}, 1, "FAIL: misrouted 7 fr on 1 of 2 paths; first capture 01 Combo1 L at 2.271 s, 7 fr misrouted"},
    };
    for (const Case& c : cases) {
        const quillon_sim::Verdict v = quillon_sim::Judge(paths, c.glitches, spans);
        EXPECT_EQ(v.exitCode, c.exitCode) << c.text;
        EXPECT_EQ(quillon_sim::VerdictText(v, names), c.text);
    }
}

// Ctrl-C during a long recorded session: the files are valid WAVE files while it runs, and after the
// signal the session ends cleanly with its report, the verdict's exit code and session.json.
TEST(QuillonSimSession, CtrlCEndsARecordedSessionCleanly) {
    const std::string dir = testing::TempDir() + "quillon-sim-interrupted";
    std::filesystem::remove_all(dir);
    // The command, built next to the tests.
    const std::string program =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "quillon-sim").string();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl(program.c_str(), "quillon-sim", "--seconds", "600", "--record", dir.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::FILE* out = fdopen(pipeFds[0], "r");
    ASSERT_NE(out, nullptr);
    std::string timeline;
    bool signalled = false;
    for (char line[512]; std::fgets(line, sizeof line, out);) {
        timeline += line;
        // Audio has come through and been written: stop the program wherever it is, look at the files as
        // they are, then interrupt it.
        if (!signalled && std::strstr(line, "first audio through, out:")) {
            ASSERT_EQ(kill(child, SIGSTOP), 0);
            int stopped = 0;
            ASSERT_EQ(waitpid(child, &stopped, WUNTRACED), child);
            EXPECT_EQ(CheckEveryFile(dir, true).size(), 18u);
            ASSERT_EQ(kill(child, SIGINT), 0);
            ASSERT_EQ(kill(child, SIGCONT), 0);
            signalled = true;
        }
    }
    std::fclose(out);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(signalled) << timeline;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << timeline.substr(timeline.size() - std::min<std::size_t>(timeline.size(), 400));
    EXPECT_NE(timeline.find("presses Ctrl-C: the session ends here"), std::string::npos);
    EXPECT_NE(timeline.find("ended by Ctrl-C)\n"), std::string::npos);
    const std::vector<std::string> files = CheckEveryFile(dir, false);
    ASSERT_EQ(files.size(), 18u);
    const std::size_t frames = ReadWav(dir + "/render-11-System.wav").Frames();
    EXPECT_LT(frames, 300u * 48000);  // it ended long before the 600 s
    for (const std::string& file : files) EXPECT_EQ(ReadWav(file).Frames(), frames) << file;
    const std::string json = ReadText(dir + "/session.json");
    EXPECT_NE(json.find("\"interrupted\": true"), std::string::npos);
    EXPECT_NE(json.find("\"event\": \"interrupted\""), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
