#include "tests/harness/Tray.h"

#include "Service/QuillonSystray/TrayEntry.h"
#include "Service/QuillonSystray/TrayProcess.h"
#include "tests/harness/Programs.h"

namespace harness {

sim::ProgramSpec TrayProgram(DWORD session) {
    sim::ProgramSpec spec = ProgramImage("QuillonSystray.exe");
    spec.interactiveUser = true;
    spec.session = session;
    spec.staticInit = [](sim::Process& process) { process.State<CTrayProcess>(); };
    spec.entry = [](HINSTANCE instance) {
        WCHAR commandLine[] = u"";
        return wWinMain(instance, nullptr, commandLine, SW_SHOWNORMAL);
    };
    return spec;
}

std::shared_ptr<sim::Process> StartTray(sim::Machine& machine, DWORD session) {
    sim::Shell& shell = sim::ShellOf(machine);
    const std::size_t before = shell.NotifyCalls().size();
    auto process = machine.StartProcess(TrayProgram(session));
    machine.RunUntil(
        [&] {
            if (machine.WaitProcess(process, 0)) return true;
            const auto calls = shell.NotifyCalls();
            for (std::size_t i = before; i < calls.size(); ++i)
                if (calls[i].processId == process->id && calls[i].message == NIM_ADD) return true;
            return false;
        },
        5'000);
    return process;
}

namespace {

void RenderItems(const std::vector<sim::MenuItemView>& items, int depth, std::string& out) {
    const std::string indent(static_cast<std::size_t>(depth) * 4, ' ');
    for (const sim::MenuItemView& item : items) {
        if (item.Separator()) {
            out += indent + "  ---\n";
            continue;
        }
        out += indent + (item.Checked() ? "* " : "  ") + item.text;
        if (item.Popup()) out += " >";
        if (item.Grayed()) out += "  (grayed)";
        out += "\n";
        if (item.Popup()) RenderItems(item.submenu, depth + 1, out);
    }
}

}  // namespace

std::string RenderMenu(const std::vector<sim::MenuItemView>& items) {
    std::string out;
    RenderItems(items, 0, out);
    return out;
}

std::string DescribeBalloon(const sim::Balloon& balloon) {
    const char* level = "none";
    switch (balloon.infoFlags & NIIF_ICON_MASK) {
        case NIIF_INFO: level = "info"; break;
        case NIIF_WARNING: level = "warning"; break;
        case NIIF_ERROR: level = "error"; break;
        case NIIF_NONE: break;
        default: level = "user"; break;
    }
    return std::string("[") + level + "] " + balloon.text;
}

std::optional<sim::TrackedMenu> UseTrayMenu(sim::Machine& machine, const std::string& choice, POINT at) {
    sim::Shell& shell = sim::ShellOf(machine);
    const std::size_t before = shell.TrackedMenuCount();
    if (choice.empty())
        shell.SetNextMenuChoice(UINT_PTR{0});
    else
        shell.SetNextMenuChoice(choice);
    if (!shell.ClickIcon(WM_CONTEXTMENU, at)) {
        shell.ClearMenuChoices();
        return std::nullopt;
    }
    // The tray handles the click, the choice and the menu's destruction without waiting on the clock, so
    // on the virtual clock it is done once a millisecond has passed. On the real clock a busy machine (a
    // sanitizer build) may take longer: look again each millisecond, for up to two seconds.
    machine.RunFor(1);
    for (int ms = 1; ms < 2000 && shell.TrackedMenuCount() <= before; ++ms) machine.RunFor(1);
    if (shell.TrackedMenuCount() <= before) {
        shell.ClearMenuChoices();
        return std::nullopt;
    }
    return shell.LastTrackedMenu();
}

std::string TrayMenuText(sim::Machine& machine) {
    const auto menu = UseTrayMenu(machine);
    return menu ? RenderMenu(menu->items) : std::string();
}

bool QuitTray(sim::Machine& machine, const std::shared_ptr<sim::Process>& tray, std::uint32_t maxMs) {
    if (!UseTrayMenu(machine, "Quit")) return false;
    return machine.WaitProcess(tray, maxMs);
}

}  // namespace harness
