// Options of the soak and fault-injection runs, from the command line or the environment:
//   --seed=N   QUILLON_SOAK_SEED    the run's seed (default: a fresh one, printed); each test draws
//                                   from its own generator seeded with it and the test's name, so one
//                                   test replays alone (--gtest_filter) with the same seed
//   --scale=X  QUILLON_SOAK_SCALE   multiplies every cycle count (default 1: the full counts)
//   --sweep=M  QUILLON_SOAK_SWEEP   fault sweep breadth: "sites" (default: the first, a middle and the
//                                   last call of every distinct call site, every realistic error of the
//                                   first), "all" (every call number, every error), or a number: that
//                                   many runs drawn from the "sites" plan (a sanitizer build's subset);
//                                   "Function#occurrence" (and "@ms" or "=hex") replays one run
//   --jobs=N   QUILLON_JOBS         fault runs at once (default 2)
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace soak {

struct SoakOptions {
    std::uint64_t seed = 0;
    double scale = 1.0;
    std::string sweep = "sites";
    unsigned jobs = 2;
};

const SoakOptions& Options();
// Reads the command line (after GoogleTest took its own flags) and the environment; false on a bad option.
bool ParseOptions(int argc, char** argv);

// `count` scaled, at least 1.
std::uint32_t Scaled(std::uint32_t count);

// The calling test's generator: seeded with the run's seed and the test's name.
std::mt19937_64 TestRandom();

}  // namespace soak
