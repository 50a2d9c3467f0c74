// What the tray tests share: a machine with the tray on it, a stand-in for the service's side of the
// blocks, and short ways to read the balloons and the blocks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Service/common/SharedMemory.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/sim/shell.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"

namespace traytest {

inline constexpr char kRunning[] = "[user] The Virtual Device Driver Service is running correctly.";
inline constexpr char kNotRunning[] =
    "[user] The Virtual Device Driver Service is not running, extended audio functions are not available.";
inline constexpr char kConnected[] = "[user] Quillon has been connected.";
inline constexpr char kRemoved[] = "[user] Quillon has been removed.";

// The service's side of the two blocks, created the way the service creates them but driven by the test:
// it echoes the heartbeat only when told to.
struct BlockOwner {
    CSharedMemoryGlobalWriter command{kCommandBlockName, kCommandBlockServiceAccess};
    CSharedMemoryWriter status{SharedMemorySide::Create, kStatusBlockName, kReadWriteAccess};

    BlockOwner() {
        *status.m_pView = QuillonSharedBlock{};
        status.m_pView->settings = kSettingEnable;
        WriteSharedText(status.m_pView->serviceVersion, "App Version: 9.8.7.6");
        *command.m_pView = *status.m_pView;
    }
    QuillonSharedBlock& Status() { return *status.m_pView; }
    QuillonSharedBlock& Command() { return *command.m_pView; }
    void Echo() { Status().heartbeat = Command().heartbeat; }
};

class TrayTest : public ::testing::Test {
protected:
    ~TrayTest() override {
        if (tray && !machine.WaitProcess(tray, 0)) {
            EXPECT_TRUE(harness::QuitTray(machine, tray));
        }
    }

    void StartTray() {
        tray = harness::StartTray(machine);
        ASSERT_FALSE(machine.WaitProcess(tray, 0)) << "the tray ended at start";
    }

    // Opens the menu and picks the item `text`: the id chosen, 0 when it could not be chosen.
    UINT_PTR Choose(const std::string& text) {
        const auto menu = harness::UseTrayMenu(machine, text);
        EXPECT_TRUE(menu) << "no menu opened";
        return menu ? menu->chosen : 0;
    }

    // Balloons since the start, as "[level] text".
    std::vector<std::string> Balloons() {
        std::vector<std::string> out;
        for (const sim::Balloon& b : shell.Balloons()) out.push_back(harness::DescribeBalloon(b));
        return out;
    }
    std::vector<sim::Ticks> BalloonTimes() {
        std::vector<sim::Ticks> out;
        for (const sim::Balloon& b : shell.Balloons()) out.push_back(b.time);
        return out;
    }

    // Runs the machine for `ms`, copying the heartbeat every 100 ms as the service's loop does.
    void Serve(BlockOwner& owner, std::uint32_t ms) {
        for (std::uint32_t t = 0; t < ms; t += 100) {
            machine.RunFor(100);
            owner.Echo();
        }
    }

    // Views of a block held by anyone (the tray's and the stand-in's); 0 when the block is gone.
    std::size_t Views(const char* name) {
        const auto info = machine.Names().Mapping(name);
        return info ? info->views : 0;
    }

    sim::Machine machine;
    sim::Shell& shell = sim::ShellOf(machine);
    std::shared_ptr<sim::Process> tray;
};

}  // namespace traytest
