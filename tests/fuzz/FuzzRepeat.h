// Every harness builds a new machine for each input, so nothing one input did may change how the next one
// runs: otherwise a crash found after thousands of inputs would not come back from its file alone. With
// QUILLON_FUZZ_REPEAT=1 in the environment each input runs twice in a row and the two runs must leave the
// same trace: the machine time they ended at, the scheduler's thread switches, the timeline, the handles
// still open and the whole registry. With QUILLON_FUZZ_TRACE=FILE as well, the traces are written to FILE,
// so that two processes can be compared too. tests/fuzz/run.sh replays every harness's seeds both ways
// before it fuzzes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"

namespace fuzz {

namespace detail {

inline void TraceKey(sim::Registry& registry, const std::string& path, std::string& out) {
    out += path + "\n";
    for (const std::string& name : registry.ValueNames(path)) {
        const auto value = registry.GetValue(path, name);
        out += "  " + name + " " + std::to_string(value ? value->type : 0u) + ":";
        if (value)
            for (const BYTE b : value->bytes) out += std::to_string(b) + ",";
        out += "\n";
    }
    for (const std::string& child : registry.SubKeys(path)) TraceKey(registry, path + "\\" + child, out);
}

}  // namespace detail

// What a run leaves behind, taken just before its machine goes.
inline std::string Trace(sim::Machine& machine) {
    if (!std::getenv("QUILLON_FUZZ_REPEAT")) return {};
    std::string out = "time " + std::to_string(machine.Now()) + " switches " + std::to_string(machine.Switches()) +
                      " handles " + std::to_string(machine.HandleCount()) + "\n";
    for (const sim::Note& note : machine.Notes())
        out += std::to_string(note.time) + " " + note.source + ": " + note.text + "\n";
    detail::TraceKey(machine.Reg(), "HKLM", out);
    detail::TraceKey(machine.Reg(), "HKCU", out);
    return out;
}

// Runs one input (twice when asked, comparing the traces).
inline int RunChecked(const std::uint8_t* data, std::size_t size,
                      std::string (*run)(const std::uint8_t*, std::size_t)) {
    const std::string first = run(data, size);
    if (!std::getenv("QUILLON_FUZZ_REPEAT")) return 0;
    // QUILLON_FUZZ_TRACE=FILE: each input's trace is added to FILE, so two processes can be compared.
    if (const char* path = std::getenv("QUILLON_FUZZ_TRACE")) {
        if (std::FILE* file = std::fopen(path, "a")) {
            std::fwrite(first.data(), 1, first.size(), file);
            std::fclose(file);
        }
    }
    const std::string second = run(data, size);
    if (first != second) {
        std::size_t at = 0;
        while (at < first.size() && at < second.size() && first[at] == second[at]) ++at;
        const std::size_t from = at == 0 ? 0 : first.rfind('\n', at - 1) + 1;  // npos + 1 is 0
        auto line = [from](const std::string& trace) { return trace.substr(from, trace.find('\n', from) - from); };
        std::fprintf(stderr, "fuzz: the input ran differently the second time; first difference:\n  first:  %s\n  second: %s\n",
                     line(first).c_str(), line(second).c_str());
        std::abort();
    }
    return 0;
}

}  // namespace fuzz

// AddressSanitizer's defaults for the harnesses (ASAN_OPTIONS still overrides them). Recording every
// allocation's and free's stack 30 frames deep was a sixth of each input, most of it in the simulated
// machine's containers; 12 frames still reach the program's own call in nearly every report, and
// tests/fuzz/run.sh replays a failing input with the full depth. Defined here, once per harness: each
// harness is one file, and every one includes this header.
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "malloc_context_size=12";
}
