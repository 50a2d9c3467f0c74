// quillon-sim's session: the scripted session on one simulated machine with its timeline, measurements,
// recording, picture, report and verdict.
#pragma once

#include <cstdio>

#include "tools/quillon-sim/options.h"

namespace quillon_sim {

// Exit codes.
inline constexpr int kExitClean = 0;      // every path that carried audio did so cleanly
inline constexpr int kExitGlitches = 1;   // glitches outside the script's own changes
inline constexpr int kExitUsage = 2;      // a bad command line
inline constexpr int kExitCannotWrite = 3;  // the recording or the picture could not be written

// Runs the session, printing its timeline and report to `out` and problems to `err`; returns the exit
// code. Ctrl-C (SIGINT) ends the session early and cleanly (a second one ends the process at once).
int RunSession(const Options& options, std::FILE* out, std::FILE* err);

// The whole command: parses `argv` (without the program name), prints the usage for --help or one line
// on `err` for a bad argument, else runs the session.
int RunCommand(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

}  // namespace quillon_sim
