#include "Service/QuillonSystray/TrayMenuOwner.h"

#include <utility>

#include "Service/QuillonSystray/TrayWindow.h"

CTrayMenuOwner::~CTrayMenuOwner() { Reset(); }

CTrayMenuOwner::CTrayMenuOwner(CTrayMenuOwner&& other) noexcept : m_hWnd(std::exchange(other.m_hWnd, nullptr)) {}

CTrayMenuOwner& CTrayMenuOwner::operator=(CTrayMenuOwner&& other) noexcept {
    if (this != &other) {
        Reset();
        m_hWnd = std::exchange(other.m_hWnd, nullptr);
    }
    return *this;
}

HWND CTrayMenuOwner::Get(HINSTANCE instance, HWND fallback) {
    if (m_hWnd && IsWindow(m_hWnd)) return m_hWnd;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayOwnerWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kTrayMenuOwnerClass;
    RegisterClassExW(&windowClass);  // already registered after a Reset: harmless
    // Visible, so that activating it gives its thread the keyboard, but of no size, so nothing shows; a
    // tool window, so no taskbar button.
    m_hWnd = CreateWindowExW(WS_EX_TOOLWINDOW, kTrayMenuOwnerClass, nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0,
                             nullptr, nullptr, instance, nullptr);
    return m_hWnd ? m_hWnd : fallback;
}

void CTrayMenuOwner::Reset() {
    if (m_hWnd) DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}
