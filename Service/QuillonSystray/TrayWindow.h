// The tray's windows. The hidden message-only window: the timer that drives the poll, and the
// notification icon's callback that opens the menu. The menu owner window (top-level, so it hears the
// broadcasts a message-only window never gets): "TaskbarCreated" and DPI changes.
#pragma once

#include "platform/win32.h"

inline constexpr const WCHAR kTrayWindowClass[] = WSTR("{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON");
inline constexpr UINT_PTR kPollTimerId = 1;
inline constexpr UINT kPollPeriodMs = 1000;

// Registers the window class and creates the message-only window; null when creation failed.
HWND CreateTrayWindow(HINSTANCE instance);

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK TrayOwnerWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// One tray per logon session: the mutex a second copy finds and ends at (the session's namespace, so
// users of other sessions keep theirs).
inline constexpr const WCHAR kTraySessionMutex[] = WSTR("Local\\{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON_TRAY");
