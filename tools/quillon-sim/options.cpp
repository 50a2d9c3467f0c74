// quillon-sim's command line.
#include "tools/quillon-sim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace quillon_sim {

namespace {

struct ModelOption {
    const char* option;
    sim::ConsoleModel model;
};
constexpr ModelOption kModels[] = {
    {"alto", sim::ConsoleModel::Alto},          {"alto-alt", sim::ConsoleModel::AltoAlt},
    {"alto-2026", sim::ConsoleModel::Alto2026}, {"basso", sim::ConsoleModel::Basso},
    {"basso-alt", sim::ConsoleModel::BassoAlt}, {"basso-2026", sim::ConsoleModel::Basso2026}};

// A whole decimal number in [min, max], nothing else (no sign, no spaces, no suffix).
bool WholeNumber(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < min || parsed > max) return false;
    value = parsed;
    return true;
}

// One option: its name, the name of its value (null for a flag), what the value may be (the error's
// words), its help (continuation lines start with a newline and are indented by the usage), and what it
// does to the options (false: the value is not allowed).
struct OptionSpec {
    const char* name;
    const char* value;
    const char* expected;
    const char* help;
    bool (*apply)(const std::string& value, Options& o);
};

// A signed decimal number of parts per million ("-50", "12.5"), kept in parts per billion.
bool PartsPerMillion(const std::string& v, std::int64_t& ppb) {
    char* end = nullptr;
    const double ppm = std::strtod(v.c_str(), &end);
    if (v.empty() || !end || *end || !(ppm >= -100'000.0 && ppm <= 100'000.0)) return false;
    ppb = static_cast<std::int64_t>(std::llround(ppm * 1000.0));
    return true;
}

const OptionSpec kOptions[] = {
    {"--console", "MODEL", "expected alto, alto-alt, alto-2026, basso, basso-alt, basso-2026 or none",
     "alto, alto-alt, alto-2026, basso, basso-alt, basso-2026 or none: the console\n"
     "plugged in (default alto)",
     [](const std::string& v, Options& o) {
         if (v != "none" && !ModelOf(v)) return false;
         o.console = v;
         return true;
     }},
    {"--pin-mode", "M", "expected standard or looped", "standard or looped: how the console's pins stream (default standard)",
     [](const std::string& v, Options& o) {
         if (v != "standard" && v != "looped") return false;
         o.pinMode = v == "looped" ? sim::PinMode::Looped : sim::PinMode::Standard;
         return true;
     }},
    {"--bits", "N", "expected 16, 24 or 32",
     "16, 24 or 32: the only sample depth the console's pins accept (default: the\n"
     "console's own, 24 valid bits in 32, and 16)",
     [](const std::string& v, Options& o) {
         if (v != "16" && v != "24" && v != "32") return false;
         o.bits = static_cast<unsigned>(std::atoi(v.c_str()));
         return true;
     }},
    {"--latency", "L", "expected ultra-low or low",
     "ultra-low or low: the Latency setting the service starts with (default ultra-low)",
     [](const std::string& v, Options& o) {
         if (v != "ultra-low" && v != "low") return false;
         o.latency = v == "low" ? 1 : 0;
         return true;
     }},
    {"--seconds", "N", "expected a whole number of seconds from 1 to 86400",
     "length of the session in service time (default 16; above 16 the user's first\n"
     "change comes N - 16 s later)",
     [](const std::string& v, Options& o) {
         std::uint64_t seconds = 0;
         if (!WholeNumber(v, 1, 24 * 3600, seconds)) return false;
         o.seconds = static_cast<unsigned>(seconds);
         return true;
     }},
    {"--record", "DIR", "expected a folder name",
     "writes the session's audio into DIR as WAVE files aligned to the machine clock,\n"
     "and session.json; replaces the files of an earlier run there (see RECORDING)",
     [](const std::string& v, Options& o) {
         o.recordDir = v;
         return !v.empty();
     }},
    {"--plot", "FILE", "expected a file name (FILE.svg)",
     "draws the session as an SVG picture: a lane per path with its level, the latency\n"
     "of each bridge opening, every glitch, the user's actions as vertical lines",
     [](const std::string& v, Options& o) {
         o.plotFile = v;
         return !v.empty();
     }},
    {"--clock", "C", "expected virtual or real",
     "virtual: time jumps whenever every simulated thread waits (default; fast);\n"
     "real: the steady clock, as on a real machine",
     [](const std::string& v, Options& o) {
         if (v != "virtual" && v != "real") return false;
         o.clock = v == "real" ? sim::ClockMode::Real : sim::ClockMode::Virtual;
         return true;
     }},
    {"--seed", "N", "expected a whole number from 0 to 18446744073709551615",
     "which of the simulated threads ready at one instant runs first, on the virtual\n"
     "clock (default 1): the same seed gives the same session, byte for byte",
     [](const std::string& v, Options& o) { return WholeNumber(v, 0, UINT64_MAX, o.seed); }},
    {"--console-ppm", "X", "expected parts per million from -100000 to 100000 (USB allows -500 to 500)",
     "how fast the console's crystal runs against the machine clock, in ppm (signed,\n"
     "default 0)",
     [](const std::string& v, Options& o) { return PartsPerMillion(v, o.consolePpb); }},
    {"--driver-ppm", "Y", "expected parts per million from -100000 to 100000",
     "how fast the virtual driver's crystal runs against the machine clock, in ppm\n"
     "(signed, default 0)",
     [](const std::string& v, Options& o) { return PartsPerMillion(v, o.driverPpb); }},
    {"--driver-clock", "M", "expected free, idle or paced",
     "how the driver keeps time: free (ticks always; default), idle (only while an\n"
     "application has an endpoint open) or paced (follows the service's answers)",
     [](const std::string& v, Options& o) {
         if (v == "free") o.driverClock = sim::DriverClock::Free;
         else if (v == "idle") o.driverClock = sim::DriverClock::Idle;
         else if (v == "paced") o.driverClock = sim::DriverClock::Paced;
         else return false;
         return true;
     }},
    {"--apps", "on|off", "expected on or off",
     "on: applications play into and record from the endpoints (default); off: every\n"
     "endpoint stays closed (an idle driver never ticks)",
     [](const std::string& v, Options& o) {
         if (v != "on" && v != "off") return false;
         o.apps = v == "on";
         return true;
     }},
    {"--signal", "S", "expected ident or sine",
     "ident: the identifying signals, which name every frame's source (default); sine: a\n"
     "997 Hz sine at -6 dBFS from the console and every application, to judge resampled\n"
     "paths by their breaks (slips) and THD+N",
     [](const std::string& v, Options& o) {
         if (v != "ident" && v != "sine") return false;
         o.sine = v == "sine";
         return true;
     }},
    {"--drift-correction", "on|off", "expected on or off",
     "the service's \"DriftCorrection\" setting: on resamples when the clocks drift apart\n"
     "(default), off copies sample for sample (a period slips as the drift gives)",
     [](const std::string& v, Options& o) {
         if (v != "on" && v != "off") return false;
         o.driftCorrection = v == "on";
         return true;
     }},
    {"--jitter", nullptr, nullptr,
     "the programs' threads wake late as on a busy PC (99.9 % within 50 us, 0.1 % up\n"
     "to 1 ms, 0.001 % up to 3 ms), drawn from the seed",
     [](const std::string&, Options& o) { return o.jitter = true; }},
    {"--no-driver", nullptr, nullptr, "without the virtual audio driver (the service retries once a second)",
     [](const std::string&, Options& o) { return !(o.driver = false); }},
    {"--no-tray", nullptr, nullptr, "without the tray program (and so without the user's menu choices)",
     [](const std::string&, Options& o) { return !(o.tray = false); }},
    {"--no-script", nullptr, nullptr,
     "no scripted user: after the plug nobody switches the latency, presses the\n"
     "channel button, turns Bypass on and off, unplugs or stops the service",
     [](const std::string&, Options& o) { return !(o.script = false); }},
    {"--verbose", nullptr, nullptr, "every driver request, shell call and pin state on its own line",
     [](const std::string&, Options& o) { return o.verbose = true; }},
    {"--help", nullptr, nullptr, "prints this text", [](const std::string&, Options& o) { return o.help = true; }},
};

const OptionSpec* Find(const std::string& name) {
    for (const OptionSpec& spec : kOptions)
        if (name == spec.name) return &spec;
    return nullptr;
}

}  // namespace

const char* DriverClockName(sim::DriverClock clock) {
    switch (clock) {
        case sim::DriverClock::Idle: return "idle";
        case sim::DriverClock::Paced: return "paced";
        default: return "free";
    }
}

const sim::ConsoleModelInfo* ModelOf(const std::string& option) {
    for (const ModelOption& m : kModels)
        if (option == m.option) return &sim::ModelInfo(m.model);
    return nullptr;
}

std::string ParseOptions(int argc, const char* const* argv, Options& o) {
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;  // --name=value
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "-h") arg = "--help";
        const OptionSpec* spec = Find(arg);
        if (!spec)
            return arg + (arg.rfind("-", 0) == 0 ? ": unknown option" : ": unexpected argument") +
                   " (quillon-sim --help lists the options)";
        if (!spec->value) {
            if (inlineValue) return arg + ": takes no value";
            spec->apply({}, o);
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
            value = argv[++i];
        } else {
            return arg + ": needs a value (" + spec->expected + ")";
        }
        if (!spec->apply(value, o)) return arg + " " + (value.empty() ? "\"\"" : value) + ": " + spec->expected;
    }
    return {};
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: quillon-sim [options]\n"
        "  Runs the Quillon service and its tray on a simulated Windows machine with a simulated console and\n"
        "  virtual audio driver, and prints the session as a timeline: what a user sees (balloons, the tray\n"
        "  menu's status lines, the endpoints Sound settings lists) and what an engineer wants (service states,\n"
        "  driver requests, console pins with their formats, the bridge opening and closing, each second's\n"
        "  audio and glitches), then every audio path's latency and glitches, and a verdict.\n\n",
        out);
    for (const OptionSpec& spec : kOptions) {
        const std::string head = std::string(spec.name) + (spec.value ? std::string(" ") + spec.value : "");
        std::string help = spec.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 21)
            help.replace(at, 1, "\n                     ");
        std::fprintf(out, "  %-18s %s\n", head.c_str(), help.c_str());
    }
    std::fputs(
        "\n"
        "EXIT CODES\n"
        "  0  every path that carried audio did so with nothing dropped, repeated or misrouted outside the\n"
        "     moments the script itself causes (plug, unplug, Bypass, a latency switch, the service stop)\n"
        "  1  glitches were measured; the summary line names the first: path, time and kind\n"
        "  2  a bad command line (one line on stderr names the argument and what is allowed)\n"
        "  3  the recording or the picture could not be written\n"
        "  Ctrl-C ends the session early and cleanly: the report, the verdict on what ran, the recording\n"
        "  and session.json (\"interrupted\": true) are still written.\n"
        "\n"
        "THE SCRIPTED SESSION\n"
        "  The tray starts, the service starts at 1 s and the console is plugged in at 2 s; applications\n"
        "  play a test signal into \"System\", \"Game\" and \"Music\" and record from every capture endpoint\n"
        "  throughout. At 4 s the user switches the latency (to \"Low\", or to \"Ultra-low\" with --latency\n"
        "  low), presses a channel button on the console at 5 s (mask 0x3FFF), turns Bypass on at 6 s and\n"
        "  off at 8 s, unplugs the console at 9 s and plugs it back at 10 s, switches the latency back at\n"
        "  11 s, and stops the service at 13 s. With --seconds N above 16 the steps from 4 s on come\n"
        "  N - 16 s later.\n"
        "\n"
        "LEGEND\n"
        "  period, half  the virtual driver's buffer (192 frames at Ultra-low, 384 at Low) is two halves;\n"
        "                a period is one half (2 ms at Ultra-low, 4 ms at Low): at its end the driver\n"
        "                hands the applications one half and the service must have answered the other\n"
        "  late answer   a period in which the service did not signal that it had read the render half\n"
        "                (out) or filled the capture half (in); a capture half not filled reaches the\n"
        "                recording application as silence. With no bridge running nobody answers, so\n"
        "                late answers then are expected\n"
        "  bridge        the service's link between the console's two pins and the driver's streams; it\n"
        "                opens when both pins run and closes when one stops. \"first audio through\" is\n"
        "                when the identifying signal first arrived after an opening, per direction\n"
        "  path          one channel of one endpoint: capture NN L/R <- console channel, or\n"
        "                render NN L/R -> console channel; a run is a stretch without a bridge closure\n"
        "  dropped       frames a path skipped within a run; repeated: frames it delivered again;\n"
        "                misrouted: samples that arrived on another channel than the routing's\n"
        "  identifying signal  every sample names where and when it came from, so the meter needs no\n"
        "                timing of its own. Render: an application plays into stream s (11-15), channel\n"
        "                ch (0 L, 1 R), machine frame m the value (v + 0.5) / 32768 with\n"
        "                v = (2 (s - 11) + ch + 1) x 2048 + m mod 2048; v / 2048 - 1 is the console\n"
        "                channel it must reach. Capture: console channel c carries, as a 16-bit value\n"
        "                scaled to the pin's depth, v = id x 2048 + k mod 2048 at console frame k, with\n"
        "                id = c - 10 for c below 10 and c - 9 from 10 on. Levels (dBFS, the peak over\n"
        "                the second) therefore tell the channel, not loudness\n"
        "\n"
        "RECORDING\n"
        "  Frame i of every file is service time i / 48000 s (silence where nothing flowed), so the files\n"
        "  line up in any audio editor: console-in.wav and console-out.wav (every channel of the pins, in\n"
        "  their integer depth; 24 valid bits in a 32-bit container are written as 32-bit PCM, the 24-bit\n"
        "  value v as v x 256), capture-NN-Name.wav (00-10) and render-NN-Name.wav (11-15) in 32-bit float,\n"
        "  Name as Sound settings shows the endpoint (a space becomes _), and session.json. A line before\n"
        "  the session says how much will be written (about 10 MB per second of session). Every file is a\n"
        "  valid WAVE file at every moment, also after Ctrl-C or a crash.\n",
        out);
}

}  // namespace quillon_sim
