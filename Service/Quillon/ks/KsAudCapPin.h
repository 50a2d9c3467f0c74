// CKsAudCapPin: an audio pin that takes a capture stream (data flow OUT).
#pragma once

#include "Service/Quillon/ks/KsAudPin.h"

class CKsAudCapPin : public CKsAudPin {
public:
    CKsAudCapPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr);
    ~CKsAudCapPin() override;
};
