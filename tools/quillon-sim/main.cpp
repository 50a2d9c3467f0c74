// quillon-sim: runs the real service code on a simulated Windows machine and prints what happens, as a
// timeline a user or an engineer can read.
//
//   quillon-sim [--seconds N] [--clock virtual|real] [--quiet]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/simwin/api.h"
#include "tests/harness/Programs.h"

namespace {

struct Options {
    unsigned seconds = 10;
    sim::ClockMode clock = sim::ClockMode::Virtual;
    bool quiet = false;
};

void Usage() {
    std::puts(
        "usage: quillon-sim [--seconds N] [--clock virtual|real] [--quiet]\n"
        "  Runs the Quillon service on a simulated machine for N seconds of service time (default 10)\n"
        "  and prints its timeline: service states, supervisor builds, registry writes, status block.\n"
        "  --clock virtual  time jumps whenever every simulated thread waits (default; fast)\n"
        "  --clock real     the steady clock (as on a real machine)\n"
        "  --quiet          only the summary");
}

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--seconds") {
            const char* v = value("--seconds");
            if (!v) return false;
            options.seconds = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        } else if (arg == "--clock") {
            const char* v = value("--clock");
            if (!v) return false;
            if (std::strcmp(v, "virtual") == 0)
                options.clock = sim::ClockMode::Virtual;
            else if (std::strcmp(v, "real") == 0)
                options.clock = sim::ClockMode::Real;
            else
                return false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            return false;
        }
    }
    return true;
}

void PrintLine(sim::Ticks time, const std::string& source, const std::string& text) {
    std::printf("[%9.3f s] %-9s %s\n", static_cast<double>(time) / 1e7, source.c_str(), text.c_str());
}

std::string Describe(const QuillonSharedBlock& block) {
    char description[kSharedTextSize + 1], firmware[kSharedTextSize + 1], version[kSharedTextSize + 1];
    ReadSharedText(block.consoleDescription, description);
    ReadSharedText(block.firmwareText, firmware);
    ReadSharedText(block.serviceVersion, version);
    char text[400];
    std::snprintf(text, sizeof text, "connected=%u enable=%u latency=%s heartbeat=%u | \"%s\" | \"%s\" | \"%s\"",
                  block.stateFlags & kStateConsoleConnected, block.settings & kSettingEnable,
                  (block.settings & kSettingLatency) ? "Low" : "Ultra-low", block.heartbeat, description, firmware,
                  version);
    return text;
}

// Watches the status block the way the tray would, printing it whenever it changes.
class StatusWatcher {
public:
    void Poll(sim::Machine& machine, bool print) {
        HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kStatusBlockName);
        if (!mapping) {
            if (present_ && print) PrintLine(machine.Now(), "status", "block gone");
            present_ = false;
            return;
        }
        auto* view = static_cast<const QuillonSharedBlock*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kSharedBlockSize));
        if (view) {
            const std::string text = Describe(*view);
            if ((!present_ || text != last_) && print) PrintLine(machine.Now(), "status", text);
            last_ = text;
            present_ = true;
            UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
    }

private:
    bool present_ = false;
    std::string last_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }

    sim::Machine machine(options.clock);
    if (!options.quiet)
        machine.SetNoteSink([](const sim::Note& note) {
            if (note.source != "debug") PrintLine(note.time, note.source, note.text);
        });

    std::printf("quillon-sim: %u s of service time, %s clock, no virtual audio driver present\n",
                options.seconds, options.clock == sim::ClockMode::Virtual ? "virtual" : "real");
    harness::InstallService(machine);
    if (!harness::StartService(machine)) {
        std::puts("the service did not reach RUNNING");
        return 1;
    }

    StatusWatcher watcher;
    std::uint64_t searches = 0;
    const std::uint64_t endMs = options.seconds * 1000ull;
    while (machine.NowMs() < endMs) {
        machine.RunFor(100);
        const std::uint64_t now = machine.CallCount("SetupDiGetClassDevsW");
        if (now != searches && !options.quiet)
            PrintLine(machine.Now(), "service", "supervisor built: virtual driver search (" + std::to_string(now) +
                                                    (now == 1 ? " attempt)" : " attempts)"));
        searches = now;
        watcher.Poll(machine, !options.quiet);
    }

    if (!harness::StopService(machine)) {
        std::puts("the service did not stop");
        return 1;
    }
    DWORD exitCode = 0;
    machine.Scm().ProcessExited(harness::kServiceName, &exitCode);
    std::printf("summary: %.1f s of service time, %llu supervisor builds, service exit code %u\n",
                static_cast<double>(machine.NowMs()) / 1000.0, static_cast<unsigned long long>(searches), exitCode);
    return 0;
}
