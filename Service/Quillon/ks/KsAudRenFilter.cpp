#include "Service/Quillon/ks/KsAudRenFilter.h"

#include "Service/Quillon/ks/KsAudRenPin.h"

CKsAudRenFilter::CKsAudRenFilter(const WCHAR* pszName, HRESULT* phr) : CKsAudFilter(pszName, phr) {
    KsTraceEnter("CKsAudRenFilter::CKsAudRenFilter()");
    m_eType = EKsFilterType::eRender;
    KsTraceLeave("CKsAudRenFilter::CKsAudRenFilter", phr ? *phr : S_OK);
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudRenFilter::FindViablePin()");
    CKsAudPin* found = nullptr;
    for (auto* node = m_listInSinkPins.GetHead(); node && !found; node = node->pNext) {
        auto* pin = static_cast<CKsAudPin*>(node->pItem);
        if (pin->IsFormatSupported(pwfx)) found = pin;
    }
    KsTraceLeave("CKsAudRenFilter::FindViablePin()");
    return found;
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* pwfx) {
    KsTraceEnter("CKsAudRenFilter::CreateRenderPin()");
    HRESULT hr = S_OK;
    CKsAudPin* pin = FindViablePin(pwfx);
    if (!pin) {
        KsDebugPrint(4, WSTR("Could not find a Render pin that supports the given wave format"));
        hr = E_FAIL;
    } else {
        hr = pin->SetFormat(const_cast<WAVEFORMATEX*>(pwfx));
        if (FAILED(hr)) {
            KsDebugPrint(1, WSTR("Failed to set Render Pin format - the pin lied about its supported formats"));
        } else {
            hr = pin->Instantiate(pin->m_bLoopedSupported, TRUE);
            if (SUCCEEDED(hr)) {
                KsDebugPrint(5, WSTR("Successfully instantiated Render Pin.  Handle = 0x%08x"), pin->GetHandle());
                KsTraceLeave("CKsAudRenFilter::CreateRenderPin", hr);
                return pin;
            }
            KsDebugPrint(1, WSTR("Failed to instantiate Render Pin"));
        }
    }
    // Fallback: every render pin in turn, whether or not it claims the format.
    pin = nullptr;
    for (auto* node = m_listInSinkPins.GetHead(); node; node = node->pNext) {
        auto* candidate = static_cast<CKsAudPin*>(node->pItem);
        hr = candidate->SetFormat(const_cast<WAVEFORMATEX*>(pwfx));
        if (SUCCEEDED(hr)) hr = candidate->Instantiate(candidate->m_bLoopedSupported, TRUE);
        if (SUCCEEDED(hr)) {
            pin = candidate;
            break;
        }
    }
    KsTraceLeave("CKsAudRenFilter::CreateRenderPin", hr);
    return SUCCEEDED(hr) ? pin : nullptr;
}
