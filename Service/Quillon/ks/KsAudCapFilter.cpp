#include "Service/Quillon/ks/KsAudCapFilter.h"

#include "Service/Quillon/ks/KsAudCapPin.h"

CKsAudCapFilter::CKsAudCapFilter(const WCHAR* pszName, HRESULT* phr) : CKsAudFilter(pszName, phr) {
    KsTraceEnter("CKsAudCapFilter::CKsAudCapFilter()");
    m_eType = EKsFilterType::eCapture;
    KsTraceLeave("CKsAudCapFilter::CKsAudCapFilter", phr ? *phr : S_OK);
}

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudCapFilter::FindViablePin()");
    CKsAudPin* found = nullptr;
    for (auto* node = m_listOutSinkPins.GetHead(); node && !found; node = node->pNext) {
        auto* pin = static_cast<CKsAudPin*>(node->pItem);
        if (pin->IsFormatSupported(pwfx)) found = pin;
    }
    KsTraceLeave("CKsAudCapFilter::FindViablePin()");
    return found;
}

CKsAudPin* CKsAudCapFilter::CreateCapturePin(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudCapFilter::CreateCapturePin()");
    HRESULT hr = S_OK;
    CKsAudPin* pin = FindViablePin(pwfx);
    if (!pin) {
        KsDebugPrint(1, WSTR("Could not find a Capture pin that supports the given wave format"));
        hr = E_FAIL;
    } else {
        hr = pin->SetFormat(const_cast<WAVEFORMATEX*>(pwfx));
        if (FAILED(hr)) {
            KsDebugPrint(1, WSTR("Failed to set Capture Pin format"));
        } else {
            hr = pin->Instantiate(pin->m_bLoopedSupported, TRUE);
            if (SUCCEEDED(hr)) {
                KsDebugPrint(5, WSTR("Successfully instantiated Capture Pin.  Handle = 0x%08x"), pin->GetHandle());
            } else {
                KsDebugPrint(1, WSTR("Failed to instantiate Capture Pin"));
            }
        }
    }
    KsTraceLeave("CKsAudCapFilter::CreateCapturePin", hr);
    return SUCCEEDED(hr) ? pin : nullptr;
}
