#include "Service/Quillon/ks/KsAudCapPin.h"

CKsAudCapPin::CKsAudCapPin(CKsAudFilter* pFilter, ULONG pinId, HRESULT* phr) : CKsAudPin(pFilter, pinId, phr) {
    KsTraceEnter("CKsAudCapPin::CKsAudCapPin()");
    m_ePinType = 2;
    KsTraceLeave("CKsAudCapPin::CKsAudCapPin", phr ? *phr : S_OK);
}

CKsAudCapPin::~CKsAudCapPin() {
    KsTraceEnter("CKsAudCapPin::~CKsAudCapPin()");
    KsTraceLeave("CKsAudCapPin::~CKsAudCapPin()");
}
