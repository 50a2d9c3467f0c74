// CKsAudRenPin: an audio pin that takes a render stream (data flow IN).
#pragma once

#include "Service/Quillon/ks/KsAudPin.h"

class CKsAudRenPin : public CKsAudPin {
public:
    CKsAudRenPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr);
    ~CKsAudRenPin() override;
};
