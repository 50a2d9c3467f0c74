// CKsAudRenFilter: an audio filter that creates render pins for a wave format.
#pragma once

#include "Service/Quillon/ks/KsAudFilter.h"

class CKsAudPin;

class CKsAudRenFilter : public CKsAudFilter {
public:
    CKsAudRenFilter(const WCHAR* pszName, HRESULT* phr);

    // The first pin of m_listInSinkPins that supports the format; null when none does.
    CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
    // An instantiated render pin for the format (still owned by the filter), or null. When the pin that
    // claims the format cannot be set up, every render pin is tried in turn.
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* pwfx);
};
