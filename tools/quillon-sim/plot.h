// quillon-sim --plot FILE.svg: the session as a picture. Time runs across; one lane per audio path that
// carried anything, shaded by its endpoint's level each 100 ms, with a bar for each run labelled with its
// latency and a mark for every glitch (coloured by kind); the user's actions and the service's start and
// stop as vertical lines; the settings and the verdict in the title. A self-contained SVG 1.1 file.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/report.h"

namespace quillon_sim {

struct PlotData {
    const Report* report = nullptr;
    const std::vector<sim::LevelSnapshot>* levels = nullptr;  // the session's 100 ms steps, in order
};

// The picture as text; WritePlot writes it to `file` (false when it cannot).
std::string RenderPlot(const PlotData& data);
bool WritePlot(const std::string& file, const PlotData& data);

}  // namespace quillon_sim
