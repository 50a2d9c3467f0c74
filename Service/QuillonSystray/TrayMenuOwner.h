// The owner of the tray's popup menu: a top-level tool window of no size on the tray's thread.
//
// A popup menu takes the keyboard (arrow keys, Enter, Escape) and closes on a click elsewhere only while
// its owner is the foreground window, and a message-only window can never be one. So the menu is owned
// by this window instead (visible, so that its activation brings the keyboard with it, but of no size),
// brought to the foreground before the menu opens; the message-only window keeps
// the timer and the icon's callbacks. Being top-level, it is also the window that hears "TaskbarCreated"
// and DPI changes (TrayOwnerWindowProc). Created at start, destroyed with its owner object (on the tray's
// thread).
#pragma once

#include "platform/win32.h"

inline constexpr const WCHAR kTrayMenuOwnerClass[] = WSTR("{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON_MENU");

class CTrayMenuOwner {
public:
    CTrayMenuOwner() = default;
    ~CTrayMenuOwner();
    CTrayMenuOwner(CTrayMenuOwner&& other) noexcept;
    CTrayMenuOwner& operator=(CTrayMenuOwner&& other) noexcept;
    CTrayMenuOwner(const CTrayMenuOwner&) = delete;
    CTrayMenuOwner& operator=(const CTrayMenuOwner&) = delete;

    // The owner window, created on first use; `fallback` when it cannot be created.
    HWND Get(HINSTANCE instance, HWND fallback);
    // Destroys the window (if any); the next Get makes a new one.
    void Reset();

private:
    HWND m_hWnd = nullptr;
};
