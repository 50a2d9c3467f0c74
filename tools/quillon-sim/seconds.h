// quillon-sim's audio seconds: each second of the session as one timeline line per direction in fixed
// columns (endpoints carrying the signal, frames, the console pin's frames and peak, the glitches by kind
// and the driver's late answers), and a compact table of every endpoint's level when that changes (or
// every few seconds while audio flows), with a column header before the first line and after a table.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/endpoints.h"
#include "tools/quillon-sim/timeline.h"

namespace quillon_sim {

class AudioSeconds {
public:
    AudioSeconds(Timeline& timeline, const EndpointNames& names, bool console)
        : timeline_(timeline), names_(names), console_(console) {}

    // One second ending at `now`: the meter's levels over it and the driver's late answers.
    void Report(sim::Ticks now, const sim::LevelSnapshot& levels, std::uint64_t lateCapture,
                std::uint64_t lateRender);

private:
    std::string Header() const;
    void Table(sim::Ticks now, const sim::LevelSnapshot& levels);

    Timeline& timeline_;
    const EndpointNames& names_;
    const bool console_;
    std::string tableKey_;
    sim::Ticks tableAt_ = 0;
    bool headerDue_ = true;
};

// "-4.1 dBFS", or "silent" / "idle" (nothing flowed).
std::string LevelText(const sim::LevelCount& level);

}  // namespace quillon_sim
