// The tray's hidden message-only window: the timer that drives the poll, and the notification icon's
// callback that opens the menu.
#pragma once

#include "platform/win32.h"

inline constexpr const WCHAR kTrayWindowClass[] = WSTR("{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON");
inline constexpr UINT_PTR kPollTimerId = 1;
inline constexpr UINT kPollPeriodMs = 1000;

// Registers the window class and creates the message-only window; null when creation failed.
HWND CreateTrayWindow(HINSTANCE instance);

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
