#include "Service/QuillonSystray/TrayMenuModel.h"

CTrayMenuModel::CTrayMenuModel(bool statusRead, bool withLatency, std::uint32_t enabled, std::uint32_t latencyLow,
                               const WCHAR* const (&lines)[3])
    : m_WithLatency(withLatency) {
    UINT b = 0;
    if (withLatency) {
        m_Latency[0] = TrayMenuEntry{static_cast<UINT>(MF_STRING | (latencyLow == 0 ? MF_CHECKED : MF_UNCHECKED)),
                                     kUltraLowId, kMenuUltraLow};
        m_Latency[1] = TrayMenuEntry{static_cast<UINT>(MF_STRING | (latencyLow == 1 ? MF_CHECKED : MF_UNCHECKED)),
                                     kLowId, kMenuLow};
        b = 2;
    }

    UINT bypassFlags;
    if (statusRead) {
        for (UINT i = 0; i < 3; ++i) Append(MF_STRING | MF_GRAYED, b + 1 + i, lines[i]);
        Append(MF_SEPARATOR, b + 4, nullptr);
        m_C = b + 4;
        bypassFlags = MF_STRING | (enabled == 0 ? MF_CHECKED : MF_UNCHECKED);
    } else {
        Append(MF_STRING | MF_GRAYED, b + 1, kMenuServiceStopped);
        Append(MF_SEPARATOR, b + 2, nullptr);
        m_C = b + 2;
        bypassFlags = MF_STRING | MF_GRAYED;
    }

    Append(bypassFlags, m_C + 1, kMenuBypass);
    if (withLatency) Append(MF_POPUP, 0, kMenuLatency);
    Append(MF_SEPARATOR, m_C + 2, nullptr);
    Append(MF_STRING, m_C + 3, kMenuUserGuide);
    Append(MF_STRING, m_C + 4, kMenuQuit);
}

void CTrayMenuModel::Append(UINT flags, UINT_PTR id, const WCHAR* text) {
    if (m_MainCount < kMaxMainEntries) m_Main[m_MainCount++] = TrayMenuEntry{flags, id, text};
}

ETrayCommand CTrayMenuModel::CommandFor(UINT_PTR id) const {
    if (id == 0) return ETrayCommand::None;
    if (m_WithLatency && id == kUltraLowId) return ETrayCommand::UltraLow;
    if (m_WithLatency && id == kLowId) return ETrayCommand::Low;
    if (id == BypassId()) return ETrayCommand::Bypass;
    if (id == UserGuideId()) return ETrayCommand::UserGuide;
    if (id == QuitId()) return ETrayCommand::Quit;
    return ETrayCommand::None;
}
