#include "Service/QuillonSystray/TrayNotices.h"

namespace {

constexpr const WCHAR kRunningText[] = WSTR("The Virtual Device Driver Service is running correctly.");
constexpr const WCHAR kNotRunningText[] =
    WSTR("The Virtual Device Driver Service is not running, extended audio functions are not available.");
constexpr const WCHAR kConnectedText[] = WSTR("Quillon has been connected.");
constexpr const WCHAR kRemovedText[] = WSTR("Quillon has been removed.");

}  // namespace

const WCHAR* NoticeText(ETrayNotice notice) {
    switch (notice) {
        case ETrayNotice::ServiceRunning: return kRunningText;
        case ETrayNotice::ServiceNotRunning: return kNotRunningText;
        case ETrayNotice::ConsoleConnected: return kConnectedText;
        case ETrayNotice::ConsoleRemoved: return kRemovedText;
    }
    return kNotRunningText;
}

ETrayNotice ServiceNotice(bool reachable) {
    return reachable ? ETrayNotice::ServiceRunning : ETrayNotice::ServiceNotRunning;
}

ETrayNotice ConsoleNotice(std::uint8_t connected) {
    return connected ? ETrayNotice::ConsoleConnected : ETrayNotice::ConsoleRemoved;
}
