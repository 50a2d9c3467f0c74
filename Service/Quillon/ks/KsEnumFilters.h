// CKsEnumFilters: the system's KS audio filters of one category, listed through SetupAPI.
#pragma once

#include "platform/win32.h"

class CKsEnumFilters {
public:
    CKsEnumFilters() = default;
    virtual ~CKsEnumFilters() = default;
    // Lists the filters again; an HRESULT as everywhere in the KS layer.
    HRESULT EnumFilters() { return S_OK; }
};
