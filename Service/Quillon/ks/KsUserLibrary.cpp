#include "Service/Quillon/ks/KsUserLibrary.h"

CKsUserLibrary& CKsUserLibrary::Get() { return ProcessGlobal<CKsUserLibrary>(); }

HRESULT CKsUserLibrary::Create(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    if (!m_pfnCreatePin2 && !m_pfnCreatePin) {
        // Loaded once; a load that failed is tried again at the next pin creation.
        // From the system folder only: a ksuser.dll beside the program or in the current folder is not it.
        if (!m_hModule) m_hModule = LoadLibraryExW(WSTR("ksuser.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (m_hModule) {
            m_pfnCreatePin2 = reinterpret_cast<CreatePin2>(reinterpret_cast<void*>(GetProcAddress(m_hModule, "KsCreatePin2")));
            if (!m_pfnCreatePin2)
                m_pfnCreatePin = reinterpret_cast<CreatePin>(reinterpret_cast<void*>(GetProcAddress(m_hModule, "KsCreatePin")));
        }
    }
    LONG result;
    if (m_pfnCreatePin2) result = m_pfnCreatePin2(filter, connect, access, pin);
    else if (m_pfnCreatePin) result = static_cast<LONG>(m_pfnCreatePin(filter, connect, access, pin));
    else return static_cast<HRESULT>(0x80070002L);
    if (result > 0) return static_cast<HRESULT>(0x80070000UL | (static_cast<ULONG>(result) & 0xFFFF));
    return result;
}
