// The simulated shell as the tray uses it: a message loop on a simulated thread, timers on the virtual
// clock, menus chosen from by a test, and the notification area's record of Shell_NotifyIconW.
#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/shell.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/shell.h"

namespace {

// A window thread: one message-only window whose procedure logs what it receives and reacts to a few
// commands; its loop runs until WM_QUIT.
struct LoopThread {
    static constexpr UINT kOpenMenu = WM_USER + 1;    // open a menu with the flags in wParam
    static constexpr UINT kQuitLater = WM_USER + 2;  // post another message, then quit

    HWND hwnd = nullptr;
    std::vector<std::pair<UINT, DWORD>> log;  // message, time
    std::vector<LRESULT> menuResults;
    int exitCode = -1;

    static LoopThread*& Self() {
        static LoopThread* self = nullptr;
        return self;
    }

    static LRESULT Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        LoopThread& t = *Self();
        if (message != WM_NCCREATE && message != WM_CREATE) t.log.emplace_back(message, timeGetTime());
        if (message == kOpenMenu) {
            HMENU menu = CreatePopupMenu();
            HMENU sub = CreatePopupMenu();
            AppendMenuW(sub, MF_STRING, 1, u"Inner");
            AppendMenuW(menu, MF_STRING | MF_GRAYED, 2, u"Grayed");
            AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), u"Sub");
            AppendMenuW(menu, MF_STRING | MF_CHECKED, 3, u"Plain");
            t.menuResults.push_back(TrackPopupMenu(menu, static_cast<UINT>(wParam), 5, 6, 0, hwnd, nullptr));
            DestroyMenu(menu);
        } else if (message == kQuitLater) {
            PostQuitMessage(7);
            PostMessageW(hwnd, WM_USER + 3, 0, 0);  // still delivered before the quit
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    static unsigned Main(void* arg) {
        auto& t = *static_cast<LoopThread*>(arg);
        Self() = &t;
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = u"LoopThreadClass";
        RegisterClassExW(&wc);
        t.hwnd = CreateWindowExW(0, u"loopthreadclass", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetTimer(t.hwnd, 9, 250, nullptr);
        MSG msg;
        BOOL r;
        while ((r = GetMessageW(&msg, nullptr, 0, 0)) > 0) DispatchMessageW(&msg);
        t.exitCode = static_cast<int>(msg.wParam);
        return 0;
    }
};

class ShellLoop : public ::testing::Test {
protected:
    void SetUp() override {
        thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, LoopThread::Main, &loop, 0, nullptr));
        machine.RunFor(1);  // the thread has made its window and waits for messages
        ASSERT_NE(loop.hwnd, nullptr);
    }
    void TearDown() override {
        if (loop.exitCode < 0) PostMessageW(loop.hwnd, LoopThread::kQuitLater, 0, 0);
        EXPECT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    std::vector<UINT> Messages() const {
        std::vector<UINT> out;
        for (auto& [m, t] : loop.log) out.push_back(m);
        return out;
    }

    sim::Machine machine;
    sim::Shell& shell = sim::ShellOf(machine);
    LoopThread loop;
    HANDLE thread = nullptr;
};

TEST_F(ShellLoop, TimersFireOnTheVirtualClockOncePerPeriod) {
    machine.RunFor(1000);
    std::vector<DWORD> times;
    for (auto& [m, t] : loop.log)
        if (m == WM_TIMER) times.push_back(t - static_cast<DWORD>(sim::Machine::kDefaultClockStartMs));
    EXPECT_EQ(times, (std::vector<DWORD>{250, 500, 750, 1000}));
}

TEST_F(ShellLoop, QuitEndsTheLoopAfterMessagesAlreadyPostedAndCarriesItsCode) {
    ASSERT_TRUE(PostMessageW(loop.hwnd, LoopThread::kQuitLater, 0, 0));
    ASSERT_EQ(WaitForSingleObject(thread, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(loop.exitCode, 7);
    EXPECT_EQ(Messages().back(), static_cast<UINT>(WM_USER + 3));
    // The window of the ended thread is gone, and so is its timer: nothing more is dispatched.
    const std::size_t logged = loop.log.size();
    machine.RunFor(2000);
    EXPECT_EQ(loop.log.size(), logged);
    EXPECT_FALSE(IsWindow(loop.hwnd));
}

TEST_F(ShellLoop, AMenuAnswersWithTheChosenItemOrNothing) {
    shell.SetNextMenuChoice("Inner");   // inside the popup
    shell.SetNextMenuChoice("Grayed");  // cannot be chosen
    shell.SetNextMenuChoice(UINT_PTR{3});
    for (int i = 0; i < 4; ++i) PostMessageW(loop.hwnd, LoopThread::kOpenMenu, TPM_RETURNCMD, 0);
    machine.RunFor(1);
    EXPECT_EQ(loop.menuResults, (std::vector<LRESULT>{1, 0, 3, 0}));  // the last one had no answer queued
    const auto menus = shell.TrackedMenus();
    ASSERT_EQ(menus.size(), 4u);
    EXPECT_EQ(menus[0].x, 5);
    EXPECT_EQ(menus[0].owner, loop.hwnd);
    ASSERT_EQ(menus[0].items.size(), 3u);
    EXPECT_TRUE(menus[0].items[0].Grayed());
    EXPECT_TRUE(menus[0].items[1].Popup());
    EXPECT_EQ(menus[0].items[1].submenu.at(0).text, "Inner");
    EXPECT_TRUE(menus[0].items[2].Checked());
    EXPECT_EQ(shell.LiveMenuCount(), 0u);  // destroying the menu took its submenu with it
}

TEST_F(ShellLoop, WithoutReturnCmdTheChoiceArrivesAsACommandMessage) {
    shell.SetNextMenuChoice("Plain");
    PostMessageW(loop.hwnd, LoopThread::kOpenMenu, 0, 0);
    machine.RunFor(1);
    EXPECT_EQ(loop.menuResults, (std::vector<LRESULT>{TRUE}));
    EXPECT_EQ(Messages(), (std::vector<UINT>{LoopThread::kOpenMenu, WM_COMMAND}));
}

TEST_F(ShellLoop, TheNotificationAreaKeepsIconsAndRejectsWhatWindowsRejects) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = loop.hwnd;
    nid.uID = 4;
    nid.uFlags = NIF_MESSAGE | NIF_INFO;
    nid.uCallbackMessage = WM_USER + 9;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &nid));  // no such icon yet
    nid.cbSize = 900;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &nid));     // not a size the shell knows
    nid.cbSize = sizeof nid;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &nid));      // no text: no balloon
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &nid));     // already there
    std::fill(std::begin(nid.szInfo), std::end(nid.szInfo), u'x');  // not terminated: read within the field
    nid.dwInfoFlags = NIIF_WARNING;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &nid));
    const auto balloons = shell.Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].text, std::string(256, 'x'));
    EXPECT_EQ(shell.NotifyCalls().size(), 5u);

    // Before NIM_SETVERSION the callback carries the icon id and the event; after it, the point and both.
    ASSERT_TRUE(shell.ClickIcon(WM_LBUTTONDOWN, POINT{-20, 30}));
    nid.uVersion = NOTIFYICON_VERSION_4;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_SETVERSION, &nid));
    ASSERT_TRUE(shell.ClickIcon(WM_LBUTTONDOWN, POINT{-20, 30}));
    EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &nid));
    EXPECT_TRUE(shell.Icons().empty());
    EXPECT_FALSE(shell.ClickIcon());
    machine.RunFor(1);
    EXPECT_EQ(Messages(), (std::vector<UINT>{WM_USER + 9, WM_USER + 9}));
}

TEST(Shell, WindowClassesBelongToTheirProcessAndNeedTheirSize) {
    sim::Machine machine;
    WNDCLASSEXW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Quillon";
    EXPECT_EQ(RegisterClassExW(&wc), 0);  // cbSize not set
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    wc.cbSize = sizeof wc;
    EXPECT_NE(RegisterClassExW(&wc), 0);
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_EQ(CreateWindowExW(0, u"Other", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr), nullptr);
    HWND hwnd = CreateWindowExW(0, u"QUILLON", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, u"quillon", nullptr), hwnd);
    EXPECT_EQ(FindWindowExW(nullptr, nullptr, u"quillon", nullptr), nullptr);  // message-only windows are not top level
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
}

}  // namespace
