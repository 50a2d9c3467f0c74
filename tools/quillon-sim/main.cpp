// quillon-sim: runs the real service and tray code on a simulated Windows machine with a simulated console
// and virtual audio driver, and prints what happens as a timeline a user or an engineer can read.
#include "tools/quillon-sim/session.h"

int main(int argc, char** argv) { return quillon_sim::RunCommand(argc - 1, argv + 1, stdout, stderr); }
