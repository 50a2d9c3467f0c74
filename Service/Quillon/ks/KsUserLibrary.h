// The pin creation function of ksuser.dll, found once per process: KsCreatePin2, else KsCreatePin.
// The library stays loaded for the life of the process; a load that failed is tried again.
#pragma once

#include "platform/win32.h"

class CKsUserLibrary {
public:
    using CreatePin2 = HRESULT(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);
    using CreatePin = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

    // Creates a pin instance: 0 or an HRESULT; a positive Win32 code from KsCreatePin becomes
    // 0x80070000 | code; 0x80070002 when neither export can be had.
    HRESULT Create(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);

    // The process's instance.
    static CKsUserLibrary& Get();

private:
    HMODULE m_hModule = nullptr;
    CreatePin2 m_pfnCreatePin2 = nullptr;
    CreatePin m_pfnCreatePin = nullptr;
};
