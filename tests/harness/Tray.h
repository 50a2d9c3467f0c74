// The tray program seen from a test (or the simulator): its menu as the user sees it, its balloons, and
// the user's clicks and choices.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/shell.h"

namespace harness {

// Menu items as the user sees them, one line each: "* " before a checked item, "(grayed)" after a grayed
// one, "---" for a separator, "Text >" for a popup followed by its items indented.
std::string RenderMenu(const std::vector<sim::MenuItemView>& items);

// One balloon as a line: "[user] Quillon has been connected." (the level from its flags).
std::string DescribeBalloon(const sim::Balloon& balloon);

// Opens the tray's menu as a right click at `at` would, answers it with the item whose text is `choice`
// (empty: dismiss), and runs the machine until the tray has dealt with it. The menu as it was opened, or
// nothing when no menu opened.
std::optional<sim::TrackedMenu> UseTrayMenu(sim::Machine& machine, const std::string& choice = "",
                                            POINT at = {1800, 1050});

// The tray's menu as it would open now (opened and dismissed), rendered; empty when no menu opened.
std::string TrayMenuText(sim::Machine& machine);

// Chooses "Quit" and runs the machine until the tray's process has ended; false if it does not.
bool QuitTray(sim::Machine& machine, const std::shared_ptr<sim::Process>& tray, std::uint32_t maxMs = 5'000);

}  // namespace harness
