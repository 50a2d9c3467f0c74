// The tray program on its own on a simulated machine, with the test standing in for the service's side
// of the shared blocks: notices, the heartbeat, the menu and what its choices write.
#include <cstring>

#include "Service/QuillonSystray/UserGuide.h"
#include "tests/tray/TrayTest.h"

namespace {

using traytest::BlockOwner;
using traytest::kConnected;
using traytest::kNotRunning;
using traytest::kRemoved;
using traytest::kRunning;
using TrayAlone = traytest::TrayTest;

constexpr sim::Ticks kMs = sim::kTicksPerMs;
using Lines = std::vector<std::string>;

TEST_F(TrayAlone, WithoutTheServiceItStartsWithTheNotRunningBalloonOnAnIconOfItsOwn) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const auto calls = shell.NotifyCalls();
    ASSERT_EQ(calls.size(), 2u);
    const sim::NotifyCall& add = calls[0];
    EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_TRUE(add.result);
    EXPECT_EQ(add.cbSize, 976u);
    EXPECT_EQ(add.id, 1u);
    EXPECT_EQ(add.flags, 0x97u);
    EXPECT_EQ(add.callbackMessage, 0x465u);
    EXPECT_EQ(add.tip, "Quillon Virtual Device Driver");
    EXPECT_EQ(add.infoTitle, "Quillon Virtual Device Driver");
    EXPECT_EQ(add.infoFlags, 0x34u);  // the product's own icon, large, no sound
    // The icon at the small size and the balloon's at the large one, both for the window's DPI.
    const auto icon = shell.IconInfo(add.icon);
    const auto balloonIcon = shell.IconInfo(add.balloonIcon);
    ASSERT_TRUE(icon && balloonIcon);
    EXPECT_EQ(icon->resourceId, 103u);
    EXPECT_EQ(icon->size, 16);
    EXPECT_EQ(icon->module, tray->image);
    EXPECT_EQ(balloonIcon->resourceId, 103u);
    EXPECT_EQ(balloonIcon->size, 32);
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_SETVERSION));
    EXPECT_EQ(calls[1].version, 4u);
    EXPECT_TRUE(calls[1].result);

    const auto windows = shell.Windows();
    ASSERT_EQ(windows.size(), 2u);  // and the top-level menu owner, which hears the taskbar come back
    EXPECT_EQ(windows[0].className, "{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON");
    EXPECT_EQ(windows[0].parent, HWND_MESSAGE);
    EXPECT_EQ(windows[0].title, "");
    EXPECT_EQ(add.hwnd, windows[0].hwnd);

    // It keeps trying every second, silently.
    machine.RunFor(10'000);
    EXPECT_EQ(Balloons(), Lines{kNotRunning});
    EXPECT_EQ(machine.CallCount("OpenFileMappingA"), 2u + 2u * 10u);
}

TEST_F(TrayAlone, WithoutTheServiceTheMenuSaysSoAndLatencyChoicesStayLocal) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    EXPECT_EQ(harness::TrayMenuText(machine),
              "  Quillon Service Stopped  (grayed)\n"
              "  ---\n"
              "  Bypass  (grayed)\n"
              "  Latency >\n"
              "    * Ultra-low\n"
              "      Low\n"
              "  ---\n"
              "  User Guide\n"
              "  Quit\n");
    const auto bypass = harness::UseTrayMenu(machine, "Bypass");
    ASSERT_TRUE(bypass);
    EXPECT_EQ(bypass->chosen, 0u);  // grayed: cannot be chosen
    EXPECT_TRUE(bypass->ownerWasForeground);
    EXPECT_EQ(bypass->flags, 0x1A0u);
    EXPECT_EQ(bypass->items[0].id, 3u);
    EXPECT_EQ(bypass->items[2].id, 5u);
    EXPECT_EQ(bypass->items.back().id, 8u);

    ASSERT_EQ(Choose("Low"), 2u);
    const std::string after = harness::TrayMenuText(machine);
    EXPECT_NE(after.find("      Ultra-low\n    * Low\n"), std::string::npos) << after;
    EXPECT_FALSE(machine.Names().MappingExists(kCommandBlockName));
}

TEST_F(TrayAlone, FindsTheBlocksOnTheFirstTickAfterTheyAppear) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(2'500);
    BlockOwner owner;
    Serve(owner, 10'000);
    EXPECT_EQ(Balloons(), (Lines{kNotRunning, kRunning}));
    EXPECT_EQ(BalloonTimes()[1], 3'000 * kMs);
    // From the tick after the reconnecting one, the counter moves once a second (ticks 4 s to 12 s).
    EXPECT_EQ(owner.Command().heartbeat, 9u);
    EXPECT_EQ(Views(kStatusBlockName), 2u);  // the tray's and the stand-in's
    EXPECT_EQ(Views(kCommandBlockName), 2u);
}

TEST_F(TrayAlone, ALostHeartbeatIsReportedWithinSevenTicksAndTheBlocksAreReleased) {
    BlockOwner owner;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    Serve(owner, 3'000);
    const sim::Ticks lastEcho = machine.Now();
    ASSERT_TRUE(machine.RunUntil([&] { return Balloons().size() == 2; }, 8'000));
    EXPECT_EQ(Balloons(), (Lines{kRunning, kNotRunning}));
    const sim::Ticks lost = BalloonTimes()[1];
    EXPECT_GT(lost, lastEcho + 5'000 * kMs);
    EXPECT_LE(lost, lastEcho + 7'000 * kMs);
    EXPECT_EQ(Views(kStatusBlockName), 1u);  // only the stand-in's
    EXPECT_EQ(Views(kCommandBlockName), 1u);
    EXPECT_EQ(owner.Command().heartbeat - owner.Status().heartbeat, 6u);

    // The blocks are still there: the next tick reopens both and reports the service running.
    owner.Echo();
    machine.RunFor(1'000);
    EXPECT_EQ(Balloons(), (Lines{kRunning, kNotRunning, kRunning}));
    EXPECT_EQ(BalloonTimes()[2], lost + 1'000 * kMs);
    EXPECT_EQ(Views(kStatusBlockName), 2u);
}

TEST_F(TrayAlone, TheConsoleBitGivesOneBalloonPerChangeAndAgainAfterTheServiceWasLost) {
    BlockOwner owner;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    Serve(owner, 2'000);
    owner.Status().stateFlags = kStateConsoleConnected;
    Serve(owner, 5'000);
    owner.Status().stateFlags = 0;
    Serve(owner, 5'000);
    owner.Status().stateFlags = kStateConsoleConnected;
    Serve(owner, 3'000);
    EXPECT_EQ(Balloons(), (Lines{kRunning, kConnected, kRemoved, kConnected}));

    // Losing the service forgets the console: after reconnecting it is announced again.
    ASSERT_TRUE(machine.RunUntil([&] { return Balloons().size() == 5; }, 8'000, 100));
    owner.Echo();
    Serve(owner, 3'000);
    EXPECT_EQ(Balloons(), (Lines{kRunning, kConnected, kRemoved, kConnected, kNotRunning, kRunning, kConnected}));
}

TEST_F(TrayAlone, ConsolePresentAtStartIsNotAnnounced) {
    BlockOwner owner;
    owner.Status().stateFlags = kStateConsoleConnected;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    Serve(owner, 5'000);
    EXPECT_EQ(Balloons(), Lines{kRunning});
}

// Heartbeat values written between two ticks, and whether the next tick declares the service lost.
struct Beat {
    std::uint32_t counter;
    std::uint32_t echo;
    bool lost;
};

class TrayHeartbeat : public traytest::TrayTest, public ::testing::WithParamInterface<Beat> {};

TEST_P(TrayHeartbeat, TheNextTickJudgesTheDistanceInEitherDirection) {
    const Beat beat = GetParam();
    BlockOwner owner;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    Serve(owner, 1'500);
    owner.Command().heartbeat = beat.counter;
    owner.Status().heartbeat = beat.echo;
    machine.RunFor(1'000);
    if (beat.lost) {
        EXPECT_EQ(Balloons(), (Lines{kRunning, kNotRunning}));
        EXPECT_EQ(owner.Command().heartbeat, beat.counter);
        EXPECT_EQ(Views(kCommandBlockName), 1u);
    } else {
        EXPECT_EQ(Balloons(), Lines{kRunning});
        EXPECT_EQ(owner.Command().heartbeat, beat.counter + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Distances, TrayHeartbeat,
                         ::testing::Values(Beat{1000, 995, false}, Beat{1000, 994, true}, Beat{995, 1000, false},
                                           Beat{994, 1000, true}, Beat{2, 0xFFFFFFFDu, false},
                                           Beat{0x80000000u, 0, true}, Beat{0, 0x80000000u, true}));

TEST_F(TrayAlone, TextsNotTerminatedInTheirFieldsAreCutAt64Characters) {
    BlockOwner owner;
    std::memset(owner.Status().consoleDescription, 'A', kSharedTextSize);
    std::memset(owner.Status().firmwareText, 'B', kSharedTextSize);
    std::memset(owner.Status().serviceVersion, 'C', kSharedTextSize);
    owner.Status().firmwareText[0] = static_cast<char>(0xC5);  // one byte, one character
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const auto menu = harness::UseTrayMenu(machine);
    ASSERT_TRUE(menu);
    ASSERT_GE(menu->items.size(), 3u);
    EXPECT_EQ(menu->items[0].text, std::string(64, 'A'));
    EXPECT_EQ(menu->items[1].text, "\u00C5" + std::string(63, 'B'));
    EXPECT_EQ(menu->items[2].text, std::string(64, 'C'));
}

TEST_F(TrayAlone, BypassAndLatencyRewriteOnlyTheirTwoBitsFromWhatTheStatusSays) {
    BlockOwner owner;
    owner.Command().settings = 0xF0 | kSettingEnable;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    std::string menu = harness::TrayMenuText(machine);
    EXPECT_NE(menu.find("  App Version: 9.8.7.6  (grayed)\n  ---\n  Bypass\n"), std::string::npos) << menu;

    ASSERT_NE(Choose("Bypass"), 0u);
    EXPECT_EQ(owner.Command().settings, 0xF0u);
    // The stand-in does not adopt it: the next menu shows the status again and writes from it.
    ASSERT_NE(Choose("Low"), 0u);
    EXPECT_EQ(owner.Command().settings, 0xF0u | kSettingEnable | kSettingLatency);
    owner.Status().settings = kSettingLatency;  // as if adopted with bridging off
    menu = harness::TrayMenuText(machine);
    EXPECT_NE(menu.find("* Bypass\n  Latency >\n      Ultra-low\n    * Low\n"), std::string::npos) << menu;
    ASSERT_NE(Choose("Ultra-low"), 0u);
    EXPECT_EQ(owner.Command().settings, 0xF0u);
    EXPECT_EQ(owner.Status().settings, static_cast<std::uint32_t>(kSettingLatency));  // never written
}

TEST_F(TrayAlone, AMenuThatCannotBeCreatedShowsNothingAndWithoutTheSubmenuIdsStartAtOne) {
    BlockOwner owner;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.InjectFailure("CreatePopupMenu", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(harness::UseTrayMenu(machine));
    EXPECT_EQ(shell.Foreground(), nullptr);

    machine.InjectFailure("CreatePopupMenu:nested", ERROR_NOT_ENOUGH_MEMORY);
    const auto menu = harness::UseTrayMenu(machine, "Bypass");
    ASSERT_TRUE(menu);
    std::vector<UINT_PTR> ids;
    for (const auto& item : menu->items) {
        EXPECT_FALSE(item.Popup());
        ids.push_back(item.id);
    }
    EXPECT_EQ(ids, (std::vector<UINT_PTR>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(menu->chosen, 5u);
    EXPECT_EQ(owner.Command().settings, 0u);
    EXPECT_EQ(shell.LiveMenuCount(), 0u);
}

TEST_F(TrayAlone, TheMenuOpensOnContextMenuAndSelectionAtTheSignedPointOnly) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    // Button-downs are followed by NIN_SELECT or WM_CONTEXTMENU under version 4: only those open the menu.
    for (UINT event : {WM_MOUSEMOVE, WM_RBUTTONUP, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_LBUTTONDOWN})
        ASSERT_TRUE(shell.ClickIcon(event));
    for (UINT event : {NIN_SELECT, NIN_KEYSELECT, WM_CONTEXTMENU}) ASSERT_TRUE(shell.ClickIcon(event, POINT{-1200, -5}));
    machine.RunFor(1);
    const auto menus = shell.TrackedMenus();
    ASSERT_EQ(menus.size(), 3u);
    for (const auto& m : menus) {
        EXPECT_EQ(m.x, -1200);
        EXPECT_EQ(m.y, -5);
        EXPECT_EQ(m.chosen, 0u);
    }
}

TEST_F(TrayAlone, EachClickOrKeyOfAUserShowsTheMenuOnceOwnedByAForegroundTopLevelWindow) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const HWND trayWindow = shell.Windows()[0].hwnd;
    // All of a click's messages are queued before the tray handles the first: each menu is answered at
    // once, so a second message that opened the menu would show it again.
    using Input = sim::Shell::IconInput;
    for (Input input : {Input::LeftClick, Input::RightClick, Input::Keyboard, Input::ContextKey}) {
        const std::size_t before = shell.TrackedMenus().size();
        ASSERT_TRUE(shell.UserClickIcon(input, POINT{640, 700}));
        machine.RunFor(1000);
        const auto menus = shell.TrackedMenus();
        ASSERT_EQ(menus.size(), before + 1) << "input " << static_cast<int>(input);
        const sim::TrackedMenu& menu = menus.back();
        EXPECT_TRUE(menu.ownerWasForeground);
        EXPECT_NE(menu.owner, trayWindow);
        EXPECT_EQ(shell.Foreground(), menu.owner);
        EXPECT_EQ(menu.x, 640);
        EXPECT_EQ(menu.y, 700);
    }
    // One owner window for every menu: top level, visible (of no size), the tray's own.
    const auto windows = shell.Windows();
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[1].parent, nullptr);
    EXPECT_NE(windows[1].style & WS_VISIBLE, 0u);
    EXPECT_EQ(windows[1].processId, windows[0].processId);
    // While a menu is open the tray's timer keeps polling.
    const auto polls = machine.CallCount("OpenFileMappingA");
    shell.SetMenuDwell(5000);
    ASSERT_TRUE(shell.UserClickIcon(Input::Keyboard));
    machine.RunFor(4000);
    EXPECT_GE(machine.CallCount("OpenFileMappingA"), polls + 6);
    machine.RunFor(2000);
    shell.SetMenuDwell(0);
}

// A menu dismissed with Escape gives the keyboard back to the icon (NIM_SETFOCUS); one dismissed by a click
// on another window, or used, leaves the focus where the user took it.
TEST_F(TrayAlone, EscapeReturnsTheFocusToTheIconAndNothingElseDoes) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    using Input = sim::Shell::IconInput;
    auto focusCalls = [&] {
        std::size_t n = 0;
        for (const sim::NotifyCall& call : shell.NotifyCalls()) n += call.message == NIM_SETFOCUS && call.result;
        return n;
    };
    struct Case {
        const char* how;
        bool escape, elsewhere;
        std::size_t focus;
    } cases[] = {{"Escape", true, false, 1}, {"a click elsewhere", false, true, 0}, {"Ultra-low chosen", false, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        const std::size_t before = focusCalls();
        if (c.escape) shell.SetNextMenuChoice(UINT_PTR{0});
        else if (c.elsewhere) shell.SetNextMenuClickElsewhere();
        else shell.SetNextMenuChoice("Ultra-low");
        ASSERT_TRUE(shell.UserClickIcon(Input::ContextKey));
        machine.RunFor(100);
        EXPECT_EQ(focusCalls() - before, c.focus);
    }
}

// The icon outlives the taskbar: an add refused before the taskbar exists is tried every tick and made
// (with its first balloon) when the taskbar comes; after Explorer restarts the icon is added again at once,
// without repeating a balloon the user saw, but with one that came while the taskbar was away.
TEST_F(TrayAlone, TheIconComesBackWithTheTaskbar) {
    shell.SetTaskbarRunning(false);
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(3500);
    auto adds = [&](bool result) {
        std::size_t n = 0;
        for (const sim::NotifyCall& call : shell.NotifyCalls()) n += call.message == NIM_ADD && call.result == result;
        return n;
    };
    EXPECT_GE(adds(false), 4u);  // at start and on each tick
    EXPECT_TRUE(Balloons().empty());
    shell.SetTaskbarRunning(true);
    machine.RunFor(10);  // the broadcast, not the next tick
    ASSERT_EQ(shell.Icons().size(), 1u);
    EXPECT_EQ(shell.Icons()[0].version, 4u);
    EXPECT_EQ(Balloons(), Lines{kNotRunning});

    shell.RestartExplorer();
    machine.RunFor(10);
    ASSERT_EQ(shell.Icons().size(), 1u);
    EXPECT_EQ(shell.Icons()[0].version, 4u);
    EXPECT_EQ(shell.Icons()[0].tip, "Quillon Virtual Device Driver");
    EXPECT_EQ(Balloons(), Lines{kNotRunning});  // not again

    // The service appears while Explorer is away: its notice shows when the icon is back.
    shell.SetTaskbarRunning(false);
    BlockOwner owner;
    Serve(owner, 1500);
    shell.SetTaskbarRunning(true);
    Serve(owner, 100);
    EXPECT_EQ(Balloons(), (Lines{kNotRunning, kRunning}));
    EXPECT_EQ(adds(true), 3u);
}

// One tray per logon session: a second start in the session ends at once without a window or an icon;
// another user's session (fast user switching) has its own.
TEST_F(TrayAlone, OneTrayPerSession) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const std::size_t windows = shell.Windows().size();
    auto second = harness::StartTray(machine);
    ASSERT_TRUE(machine.WaitProcess(second, 1000));
    EXPECT_EQ(second->exitCode, 0u);
    EXPECT_EQ(second->HandlesAtExit(), 0u);
    EXPECT_EQ(shell.Windows().size(), windows);
    EXPECT_EQ(shell.Icons().size(), 1u);

    auto otherUser = harness::StartTray(machine, 2);
    EXPECT_FALSE(machine.WaitProcess(otherUser, 1000));
    EXPECT_EQ(shell.Icons().size(), 2u);

    // After the first quits (its icon is the first), the session may start one again.
    ASSERT_TRUE(harness::QuitTray(machine, tray));
    EXPECT_TRUE(harness::QuitTray(machine, otherUser));
    tray = harness::StartTray(machine);
    EXPECT_FALSE(machine.WaitProcess(tray, 1000));
    EXPECT_EQ(shell.Icons().size(), 1u);
}

// At a DPI change the icon takes images drawn for the new size; the old ones are destroyed.
TEST_F(TrayAlone, ADpiChangeReloadsTheIconAtItsNewSize) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const HICON before = shell.Icons()[0].icon;
    shell.ChangeDpi(144);
    machine.RunFor(10);
    const sim::NotifyCall modify = shell.NotifyCalls().back();  // a copy: the list is returned by value
    EXPECT_EQ(modify.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(modify.flags, static_cast<UINT>(NIF_ICON));
    EXPECT_TRUE(modify.result);
    const auto icon = shell.IconInfo(shell.Icons()[0].icon);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size, 24);
    EXPECT_FALSE(shell.IconInfo(before));  // destroyed
    BlockOwner owner;
    Serve(owner, 1200);
    ASSERT_FALSE(shell.Balloons().empty());
    const auto balloonIcon = shell.IconInfo(shell.Balloons().back().balloonIcon);
    ASSERT_TRUE(balloonIcon);
    EXPECT_EQ(balloonIcon->size, 48);
    EXPECT_TRUE(Balloons().size() == 2u);
}

TEST_F(TrayAlone, UserGuideOpensTheGuideAndQuitRemovesTheIconAndReleasesTheBlocks) {
    BlockOwner owner;
    ASSERT_NO_FATAL_FAILURE(StartTray());
    ASSERT_NE(Choose("User Guide"), 0u);
    const auto opened = shell.ShellExecutes();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].verb, "open");
    EXPECT_EQ(opened[0].file, kUserGuideUrl);
    EXPECT_EQ(opened[0].show, SW_SHOWNORMAL);

    ASSERT_TRUE(harness::QuitTray(machine, tray));
    EXPECT_EQ(tray->exitCode, 0u);
    EXPECT_EQ(tray->HandlesAtExit(), 0u);  // the tray released everything itself before it ended
    EXPECT_EQ(shell.NotifyCalls().back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_TRUE(shell.Icons().empty());
    EXPECT_EQ(Views(kStatusBlockName), 1u);
    EXPECT_EQ(Views(kCommandBlockName), 1u);
    EXPECT_EQ(machine.HandleCount("FileMapping"), 2u);  // the stand-in's
}

TEST_F(TrayAlone, AWindowThatCannotBeCreatedEndsTheProgramBeforeAnyIcon) {
    BlockOwner owner;
    machine.InjectFailure("CreateWindowExW", ERROR_NOT_ENOUGH_MEMORY);
    tray = harness::StartTray(machine);
    ASSERT_TRUE(machine.WaitProcess(tray, 100));
    EXPECT_EQ(tray->exitCode, 0u);
    EXPECT_TRUE(shell.NotifyCalls().empty());
    EXPECT_EQ(Views(kStatusBlockName), 1u);
}

}  // namespace
