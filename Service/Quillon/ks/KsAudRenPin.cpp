#include "Service/Quillon/ks/KsAudRenPin.h"

CKsAudRenPin::CKsAudRenPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr) : CKsAudPin(pFilter, pinId, phr) {
    KsTraceEnter("CKsAudRenPin::CKsAudRenPin()");
    m_ePinType = 1;
    KsTraceLeave("CKsAudRenPin::CKsAudRenPin", phr ? *phr : S_OK);
}

CKsAudRenPin::~CKsAudRenPin() {
    KsTraceEnter("CKsAudRenPin::~CKsAudRenPin()");
    KsTraceLeave("CKsAudRenPin::~CKsAudRenPin()");
}
