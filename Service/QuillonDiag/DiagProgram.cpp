#include "Service/QuillonDiag/DiagProgram.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Service/QuillonDiag/DiagReader.h"
#include "Service/QuillonDiag/DiagTable.h"
#include "Service/common/DiagnosticsMapping.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kRefreshMs = 1000;
constexpr DWORD kStopPollMs = 50;
constexpr int kBusyRounds = 5;  // rounds of read attempts, a millisecond apart, before giving up

// Ctrl-C in the live view: the C runtime calls the handler (on Windows on a thread of its own); the loop
// sees the flag within kStopPollMs. The only state of the program that must be a static.
std::atomic<bool> g_Stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);
extern "C" void OnCtrlC(int) { g_Stop.store(true); }

// The view's text from the block as it is now, or the message why there is none.
enum class EView { Shown, NotRunning, Unreadable };
EView TakeView(std::string& text) {
    CDiagnosticsMapping block = CDiagnosticsMapping::Open(kDiagnosticsBlockName);
    if (!block) {
        text = DiagNotRunningText(GetLastError());
        return EView::NotRunning;
    }
    DiagnosticsRecord record;
    EDiagRead result = EDiagRead::Busy;
    for (int round = 0; round < kBusyRounds && result == EDiagRead::Busy; ++round) {
        if (round) Sleep(1);
        result = ReadDiagnostics(block.View(), block.Bytes(), record);
    }
    if (result != EDiagRead::Ok) {
        text = std::string("QuillonDiag: the service's diagnostics could not be read: ") + DiagReadText(result) + ".\n";
        return EView::Unreadable;
    }
    text = FormatDiagnosticsTable(record, GetTickCount64());
    return EView::Shown;
}

void Print(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// Turns on the console's escape sequences (Windows 10 consoles have them, off by default); false when the
// output is no console (redirected) or the console has none: the live view then prints frame after frame.
bool EnableEscapes() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int LiveView() {
    g_Stop.store(false);
    void (*previous)(int) = std::signal(SIGINT, OnCtrlC);
    const bool escapes = EnableEscapes();
    // Like pw-top: the view in the console's alternate screen, without a cursor blinking over it; the
    // screen the user had comes back when it ends.
    if (escapes) Print(stdout, "\x1b[?1049h\x1b[?25l");
    while (!g_Stop.load()) {
        std::string text;
        const EView view = TakeView(text);
        if (view == EView::NotRunning) text += "Waiting for the service (Ctrl-C ends).\n";
        if (escapes) {
            // Home, each line over the old one (erasing what stays of it), the rest of the screen erased.
            std::string frame = "\x1b[H";
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t end = text.find('\n', at);
                frame += text.substr(at, end - at) + "\x1b[K\n";
                if (end == std::string::npos) break;
                at = end + 1;
            }
            Print(stdout, frame + "\x1b[J");
        } else {
            Print(stdout, text + "\n");
        }
        for (DWORD waited = 0; waited < kRefreshMs && !g_Stop.load(); waited += kStopPollMs) Sleep(kStopPollMs);
    }
    if (escapes) Print(stdout, "\x1b[?25h\x1b[?1049l");
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    return kDiagExitShown;
}

}  // namespace

std::string ParseDiagOptions(int argc, const char* const* argv, DiagOptions& options) {
    options = DiagOptions{};
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i] ? argv[i] : "";
        if (!std::strcmp(a, "--once") || !std::strcmp(a, "/once"))
            options.once = true;
        else if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h") || !std::strcmp(a, "/?"))
            options.help = true;
        else
            return std::string("unknown option '") + a + "' (QuillonDiag --help lists the options)";
    }
    return {};
}

std::string DiagUsage() {
    return "Usage: QuillonDiag [--once] [--help]\n"
           "\n"
           "Shows what the Quillon service's bridge does: its state, the console's formats, the driver's\n"
           "period and the latency setting, and per virtual stream (0-10 capture, 11-15 playback) the clock\n"
           "drift, the latency the drift correction adds, slips and the driver's late and missed events.\n"
           "\n"
           "  --once   print the view once and exit; without it the view is redrawn every second until Ctrl-C\n"
           "  --help   this text\n"
           "\n"
           "Exit codes: 0 shown, 1 the service is not running, 2 a bad option, 3 the view could not be read.\n";
}

std::string DiagNotRunningText(unsigned long error) {
    std::string text = "The Quillon service is not running";
    text += error == ERROR_ACCESS_DENIED ? " for this user (its diagnostics are there but may not be read).\n"
                                        : " (its diagnostics are not there).\n";
    text += "Start it as an administrator with:  sc start \"Quillon Virtual Device Driver\"\n"
            "or from Services (services.msc): \"Quillon Virtual Device Driver\", Start.\n";
    return text;
}

int QuillonDiagMain(int argc, const char* const* argv) {
    DiagOptions options;
    const std::string error = ParseDiagOptions(argc > 0 ? argc - 1 : 0, argc > 0 ? argv + 1 : argv, options);
    if (!error.empty()) {
        Print(stderr, "QuillonDiag: " + error + "\n");
        return kDiagExitUsage;
    }
    if (options.help) {
        Print(stdout, DiagUsage());
        return kDiagExitShown;
    }
    std::string text;
    const EView view = TakeView(text);
    if (view != EView::Shown) {
        Print(stderr, text);
        return view == EView::NotRunning ? kDiagExitNotRunning : kDiagExitUnreadable;
    }
    if (options.once) {
        Print(stdout, text);
        return kDiagExitShown;
    }
    return LiveView();
}
