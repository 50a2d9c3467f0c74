// CKsAudFilter: a filter whose pins are audio pins (render, capture or plain); pins that cannot carry a
// stream are left out.
#pragma once

#include "Service/Quillon/ks/KsFilter.h"

class CKsAudFilter : public CKsFilter {
public:
    CKsAudFilter(const WCHAR* pszName, HRESULT* phr);

    HRESULT EnumeratePins() override;
};
