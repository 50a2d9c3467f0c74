#include "Service/Quillon/ks/KsAudFilter.h"

#include <new>

#include "Service/Quillon/ks/KsAudCapPin.h"
#include "Service/Quillon/ks/KsAudRenPin.h"

CKsAudFilter::CKsAudFilter(const WCHAR* pszName, HRESULT* phr) : CKsFilter(pszName, phr) {
    KsTraceEnter("CKsAudFilter::CKsAudFilter()");
    KsTraceLeave("CKsAudFilter::CKsAudFilter", phr ? *phr : S_OK);
}

HRESULT CKsAudFilter::EnumeratePins() {
    KsTraceEnter("CKsAudFilter::EnumeratePins()");
    ULONG count = 0;
    if (FAILED(GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &count, sizeof count))) {
        KsDebugPrint(1, WSTR("Failed to retrieve count of pins in audio filter"));
        count = 0;
    }
    if (count > kKsMaxPinFactories) {
        KsDebugPrint(4, WSTR("Filter reports %u pins; reading the first %u"), count, kKsMaxPinFactories);
        count = kKsMaxPinFactories;
    }
    for (ULONG pinId = 0; pinId < count; ++pinId) {
        ULONG communication = 0;
        if (FAILED(GetPinPropertySimple(pinId, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication))) {
            KsDebugPrint(1, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION"));
            continue;
        }
        if (communication == KSPIN_COMMUNICATION_NONE) continue;
        if (communication > KSPIN_COMMUNICATION_BOTH) {
            KsDebugPrint(1, WSTR("Pin communication value doesn't make sense"));
            continue;
        }
        ULONG dataFlow = 0;
        if (FAILED(GetPinPropertySimple(pinId, KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof dataFlow))) {
            KsDebugPrint(1, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW"));
            continue;
        }
        const bool sink = communication == KSPIN_COMMUNICATION_SINK || communication == KSPIN_COMMUNICATION_BOTH;
        HRESULT hr = S_OK;
        CKsAudPin* pin = nullptr;
        if (sink && dataFlow == KSPIN_DATAFLOW_IN) {
            KsDebugPrint(6, WSTR("new CKsAudRenPin()"));
            pin = new (std::nothrow) CKsAudRenPin(this, pinId, &hr);
        } else if (sink && dataFlow == KSPIN_DATAFLOW_OUT) {
            KsDebugPrint(6, WSTR("new CKsAudCapPin()"));
            pin = new (std::nothrow) CKsAudCapPin(this, pinId, &hr);
        } else {
            KsDebugPrint(6, WSTR("new CKsAudPin()"));
            pin = new (std::nothrow) CKsAudPin(this, pinId, &hr);
        }
        if (!pin) {
            KsDebugPrint(1, WSTR("Failed to create audio pin"));
            KsDebugPrint(1, WSTR("Ran out of memory enumerating pins - deleting all pins"));
            while (!m_listPins.IsEmpty()) delete m_listPins.RemoveHead();
            KsTraceLeave("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
            return E_OUTOFMEMORY;
        }
        if (FAILED(hr)) {
            delete pin;
            continue;
        }
        KsDebugPrint(6, WSTR("Adding pin to m_listPins ksPinCommunication=%u"), communication);
        if (!m_listPins.AddTail(pin)) delete pin;
    }
    ClassifyPins();
    HRESULT hr = S_OK;
    if (m_listInSinkPins.IsEmpty() && m_listOutSourcePins.IsEmpty() && m_listOutSinkPins.IsEmpty() &&
        m_listInSourcePins.IsEmpty()) {
        KsDebugPrint(1, WSTR("No valid pins found on the filter"));
        hr = E_FAIL;
    }
    KsTraceLeave("CKsAudFilter::EnumeratePins", hr);
    return hr;
}
