// CTrayMenuModel: what the tray's context menu holds for a given state, with its command ids, checks and
// grayed items, and what each id means when the user picks it. Built afresh each time the menu opens.
//
// Ids: with the latency submenu, "Ultra-low" is 1 and "Low" 2, and the main menu's ids start at b = 2;
// without it they start at b = 0. With the status read, the three status lines are b+1..b+3 and the
// separator b+4; without it, "Quillon Service Stopped" is b+1 and the separator b+2. With c the separator's
// id: "Bypass" c+1, the separator after the latency popup c+2, "User Guide" c+3, "Quit" c+4.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

enum class ETrayCommand { None, UltraLow, Low, Bypass, UserGuide, Quit };

struct TrayMenuEntry {
    UINT flags = 0;         // MF_ flags; MF_POPUP marks the place of the latency submenu
    UINT_PTR id = 0;        // 0 for the popup (its handle is the id)
    const WCHAR* text = nullptr;
};

class CTrayMenuModel {
public:
    static constexpr UINT kUltraLowId = 1;
    static constexpr UINT kLowId = 2;
    static constexpr std::size_t kMaxMainEntries = 9;
    static constexpr std::size_t kLatencyEntries = 2;

    // `lines` are the three status lines (console description, firmware text, service version text);
    // they are used only when the status was read.
    CTrayMenuModel(bool statusRead, bool withLatency, std::uint32_t enabled, std::uint32_t latencyLow,
                   const WCHAR* const (&lines)[3]);

    std::size_t MainCount() const { return m_MainCount; }
    const TrayMenuEntry& Main(std::size_t i) const { return m_Main[i]; }
    std::size_t LatencyCount() const { return m_WithLatency ? kLatencyEntries : 0; }
    const TrayMenuEntry& Latency(std::size_t i) const { return m_Latency[i]; }

    UINT BypassId() const { return m_C + 1; }
    UINT UserGuideId() const { return m_C + 3; }
    UINT QuitId() const { return m_C + 4; }

    // The command an id returned by the menu stands for (0, a status line or a separator: None).
    ETrayCommand CommandFor(UINT_PTR id) const;

private:
    void Append(UINT flags, UINT_PTR id, const WCHAR* text);

    bool m_WithLatency;
    UINT m_C = 0;
    TrayMenuEntry m_Latency[kLatencyEntries];
    TrayMenuEntry m_Main[kMaxMainEntries];
    std::size_t m_MainCount = 0;
};

inline constexpr const WCHAR kMenuUltraLow[] = WSTR("Ultra-low");
inline constexpr const WCHAR kMenuLow[] = WSTR("Low");
inline constexpr const WCHAR kMenuLatency[] = WSTR("Latency");
inline constexpr const WCHAR kMenuServiceStopped[] = WSTR("Quillon Service Stopped");
inline constexpr const WCHAR kMenuBypass[] = WSTR("Bypass");
inline constexpr const WCHAR kMenuUserGuide[] = WSTR("User Guide");
inline constexpr const WCHAR kMenuQuit[] = WSTR("Quit");
