// quillon-sim: runs the real service and tray code on a simulated Windows machine with a simulated console
// and virtual audio driver, and prints what happens as a timeline a user or an engineer can read.
#include <cstdio>
#include <cstring>

#include "tools/quillon-sim/session.h"

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        quillon_sim::PrintUsage(stdout);
        return 0;
    }
    quillon_sim::Options options;
    if (!quillon_sim::ParseOptions(argc - 1, argv + 1, options)) {
        quillon_sim::PrintUsage(stderr);
        return 2;
    }
    return quillon_sim::RunSession(options, stdout);
}
