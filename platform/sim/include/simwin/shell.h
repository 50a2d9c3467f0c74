// The window manager and shell subset of the simulated machine (user32, shell32, comctl32): window
// classes, message-only windows, per-thread message queues, timers, popup menus and the notification
// area, with the SDK's names, values and x64 record layouts.
#pragma once

#include <cstddef>

#include "platform/sim/include/simwin/types.h"

// Errors of the window manager (guarded: other parts of the machine may declare some of them too).
#ifndef ERROR_INVALID_MENU_HANDLE
#define ERROR_INVALID_MENU_HANDLE 1401L
#endif
#ifndef ERROR_CANNOT_FIND_WND_CLASS
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#endif
#ifndef ERROR_MENU_ITEM_NOT_FOUND
#define ERROR_MENU_ITEM_NOT_FOUND 1456L
#endif
#ifndef ERROR_TIMEOUT
#define ERROR_TIMEOUT 1460L
#endif

#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define GET_X_LPARAM(lp) (static_cast<int>(static_cast<short>(LOWORD(lp))))
#define GET_Y_LPARAM(lp) (static_cast<int>(static_cast<short>(HIWORD(lp))))

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);
using HBRUSH = struct HBRUSH__*;

struct POINT {
    LONG x;
    LONG y;
};
using LPPOINT = POINT*;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
using LPRECT = RECT*;

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};

struct TPMPARAMS {
    UINT cbSize;
    RECT rcExclude;
};
using LPTPMPARAMS = TPMPARAMS*;

struct NOTIFYICONDATAW {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    HICON hBalloonIcon;
};
using PNOTIFYICONDATAW = NOTIFYICONDATAW*;
#define NOTIFYICONDATAW_V1_SIZE offsetof(NOTIFYICONDATAW, szTip[64])
#define NOTIFYICONDATAW_V2_SIZE offsetof(NOTIFYICONDATAW, guidItem)
#define NOTIFYICONDATAW_V3_SIZE offsetof(NOTIFYICONDATAW, hBalloonIcon)

static_assert(sizeof(POINT) == 8);
static_assert(sizeof(WNDCLASSEXW) == 80 && offsetof(WNDCLASSEXW, lpfnWndProc) == 8 &&
              offsetof(WNDCLASSEXW, hInstance) == 24 && offsetof(WNDCLASSEXW, lpszClassName) == 64);
static_assert(sizeof(MSG) == 48 && offsetof(MSG, message) == 8 && offsetof(MSG, wParam) == 16 &&
              offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36);
static_assert(sizeof(CREATESTRUCTW) == 80 && offsetof(CREATESTRUCTW, lpszClass) == 64);
static_assert(sizeof(NOTIFYICONDATAW) == 976);
static_assert(offsetof(NOTIFYICONDATAW, hWnd) == 8 && offsetof(NOTIFYICONDATAW, uID) == 16 &&
              offsetof(NOTIFYICONDATAW, uFlags) == 20 && offsetof(NOTIFYICONDATAW, uCallbackMessage) == 24 &&
              offsetof(NOTIFYICONDATAW, hIcon) == 32 && offsetof(NOTIFYICONDATAW, szTip) == 40 &&
              offsetof(NOTIFYICONDATAW, dwState) == 296 && offsetof(NOTIFYICONDATAW, szInfo) == 304 &&
              offsetof(NOTIFYICONDATAW, uVersion) == 816 && offsetof(NOTIFYICONDATAW, szInfoTitle) == 820 &&
              offsetof(NOTIFYICONDATAW, dwInfoFlags) == 948 && offsetof(NOTIFYICONDATAW, guidItem) == 952 &&
              offsetof(NOTIFYICONDATAW, hBalloonIcon) == 968);

// Windows and messages.
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)))
#define WM_NULL 0x0000
#define WM_APP 0x8000
#define WS_POPUP 0x80000000L
#define WS_VISIBLE 0x10000000L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_CONTEXTMENU 0x007B
#define WM_DPICHANGED 0x02E0
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// Menus.
#define MF_BYCOMMAND 0x00000000L
#define MF_BYPOSITION 0x00000400L
#define MF_STRING 0x00000000L
#define MF_ENABLED 0x00000000L
#define MF_GRAYED 0x00000001L
#define MF_DISABLED 0x00000002L
#define MF_UNCHECKED 0x00000000L
#define MF_CHECKED 0x00000008L
#define MF_POPUP 0x00000010L
#define MF_SEPARATOR 0x00000800L
#define TPM_LEFTBUTTON 0x0000L
#define TPM_RIGHTBUTTON 0x0002L
#define TPM_LEFTALIGN 0x0000L
#define TPM_CENTERALIGN 0x0004L
#define TPM_RIGHTALIGN 0x0008L
#define TPM_TOPALIGN 0x0000L
#define TPM_VCENTERALIGN 0x0010L
#define TPM_BOTTOMALIGN 0x0020L
#define TPM_NONOTIFY 0x0080L
#define TPM_RETURNCMD 0x0100L

// Notification area.
#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIM_SETFOCUS 0x00000003
#define NIM_SETVERSION 0x00000004
#define NOTIFYICON_VERSION 3
#define NOTIFYICON_VERSION_4 4
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004
#define NIF_STATE 0x00000008
#define NIF_INFO 0x00000010
#define NIF_GUID 0x00000020
#define NIF_REALTIME 0x00000040
#define NIF_SHOWTIP 0x00000080
#define NIIF_NONE 0x00000000
#define NIIF_INFO 0x00000001
#define NIIF_WARNING 0x00000002
#define NIIF_ERROR 0x00000003
#define NIIF_USER 0x00000004
#define NIIF_ICON_MASK 0x0000000F
#define NIIF_NOSOUND 0x00000010
#define NIIF_LARGE_ICON 0x00000020
#define NIIF_RESPECT_QUIET_TIME 0x00000080
#define NIN_SELECT (WM_USER + 0)
#define NINF_KEY 0x1
#define NIN_KEYSELECT (NIN_SELECT | NINF_KEY)
#define NIN_BALLOONSHOW (WM_USER + 2)
#define NIN_BALLOONHIDE (WM_USER + 3)
#define NIN_BALLOONTIMEOUT (WM_USER + 4)
#define NIN_BALLOONUSERCLICK (WM_USER + 5)

// Icons and system metrics.
enum _LI_METRIC { LIM_SMALL, LIM_LARGE };
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXSMICON 49
#define SM_CYSMICON 50
#define USER_DEFAULT_SCREEN_DPI 96
#define IDI_APPLICATION MAKEINTRESOURCEW(32512)

// Window classes and windows.
ATOM RegisterClassExW(const WNDCLASSEXW* lpWndClass);
BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
BOOL DestroyWindow(HWND hWnd);
BOOL IsWindow(HWND hWnd);
HWND FindWindowExW(HWND hWndParent, HWND hWndChildAfter, LPCWSTR lpszClass, LPCWSTR lpszWindow);
LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL SetForegroundWindow(HWND hWnd);
HWND GetForegroundWindow();
BOOL GetCursorPos(LPPOINT lpPoint);
UINT RegisterWindowMessageW(LPCWSTR lpString);
UINT GetDpiForWindow(HWND hwnd);
int GetSystemMetricsForDpi(int nIndex, UINT dpi);

// Messages and timers.
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
BOOL TranslateMessage(const MSG* lpMsg);
LRESULT DispatchMessageW(const MSG* lpMsg);
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int nExitCode);
UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent);

// Menus.
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU hMenu);
BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
BOOL InsertMenuW(HMENU hMenu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
DWORD CheckMenuItem(HMENU hMenu, UINT uIDCheckItem, UINT uCheck);
BOOL EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable);
int GetMenuItemCount(HMENU hMenu);
BOOL TrackPopupMenu(HMENU hMenu, UINT uFlags, int x, int y, int nReserved, HWND hWnd, const RECT* prcRect);
BOOL TrackPopupMenuEx(HMENU hMenu, UINT uFlags, int x, int y, HWND hWnd, LPTPMPARAMS lptpm);
BOOL EndMenu();

// Icons and the notification area.
HRESULT LoadIconMetric(HINSTANCE hinst, PCWSTR pszName, int lims, HICON* phico);
#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x00000000
#define LR_SHARED 0x00008000
// Icons only (IMAGE_ICON), each load a new icon for DestroyIcon.
HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad);
HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName);
BOOL DestroyIcon(HICON hIcon);
BOOL Shell_NotifyIconW(DWORD dwMessage, PNOTIFYICONDATAW lpData);

// Shell execution.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd);
