// OutputDebugStringW: every call becomes one "debug" note of the machine's timeline.
#include "platform/sim/include/sim/debug_output.h"

#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/simwin.h"

void OutputDebugStringW(LPCWSTR text) {
    sim::Machine& machine = sim::Machine::Current();
    DWORD error = 0;
    if (machine.TakeFailure("OutputDebugStringW", &error) || !text) return;
    char line[1024];  // most lines; a longer one takes a string of its own
    const std::size_t length = sim::NarrowTo(text, line, sizeof line);
    if (length < sizeof line)
        machine.AddNote("debug", std::string_view(line, length));
    else
        machine.AddNote("debug", sim::Narrow(text));
}

namespace sim {
std::vector<std::string> DebugOutput(Machine& machine) {
    std::vector<std::string> lines;
    for (const Note& note : machine.Notes())
        if (note.source == "debug") lines.push_back(note.text);
    return lines;
}
}  // namespace sim
