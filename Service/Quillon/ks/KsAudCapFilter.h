// CKsAudCapFilter: an audio filter that creates capture pins for a wave format.
#pragma once

#include "Service/Quillon/ks/KsAudFilter.h"

class CKsAudPin;

class CKsAudCapFilter : public CKsAudFilter {
public:
    CKsAudCapFilter(const WCHAR* pszName, HRESULT* phr);

    // The first pin of m_listOutSinkPins that supports the format; null when none does.
    CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
    // An instantiated capture pin for the format (still owned by the filter), or null. Only the first
    // pin that claims the format is tried.
    CKsAudPin* CreateCapturePin(const WAVEFORMATEX* pwfx);
};
