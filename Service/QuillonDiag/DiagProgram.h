// QuillonDiag.exe: the diagnostics view of the Quillon service's bridge in a console window, once
// (--once) or refreshed every second until Ctrl-C, read from the service's diagnostics block.
#pragma once

#include <string>

// Exit codes.
inline constexpr int kDiagExitShown = 0;       // the view was shown (or Ctrl-C ended the live view)
inline constexpr int kDiagExitNotRunning = 1;  // the diagnostics block is not there: the service does not run
inline constexpr int kDiagExitUsage = 2;       // a bad command line
inline constexpr int kDiagExitUnreadable = 3;  // the block is there but its record could not be read

struct DiagOptions {
    bool once = false;
    bool help = false;
};

// Parses the arguments after the program name; the error for a bad one, else empty.
std::string ParseDiagOptions(int argc, const char* const* argv, DiagOptions& options);
std::string DiagUsage();
// What the program prints when the block cannot be opened (`error`: GetLastError of the open).
std::string DiagNotRunningText(unsigned long error);

// The program: prints to stdout (the view, the usage) and stderr (errors); returns the exit code.
int QuillonDiagMain(int argc, const char* const* argv);
