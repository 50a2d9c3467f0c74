#include "Service/Quillon/ks/KsFilter.h"

#include <cstring>
#include <new>

#include "Service/Quillon/ks/KsMultipleItem.h"
#include "Service/Quillon/ks/KsPin.h"

CKsFilter::CKsFilter(const WCHAR* pszName, HRESULT* phr) : m_eType(EKsFilterType::eUnknown) {
    KsTraceEnter("CKsFilter::CKsFilter()");
    std::memset(m_mszBusRelations, 0, sizeof m_mszBusRelations);
    HRESULT hr = InternalInit();
    if (!pszName) {
        KsDebugPrint(1, WSTR("pszName cannot be NULL"));
        hr = E_INVALIDARG;
    } else {
        ULONG i = 0;
        for (; i + 1 < kKsFilterNameUnits && pszName[i]; ++i) m_szFilterName[i] = pszName[i];
        m_szFilterName[i] = 0;
        hr = S_OK;
    }
    KsTraceLeave("CKsFilter::CKsFilter", hr);
    if (phr) *phr = hr;
}

CKsFilter::~CKsFilter() {
    KsTraceEnter("CKsFilter::~CKsFilter()");
    const HRESULT hr = DestroyLists();
    SafeCloseHandle(m_handle);
    KsTraceLeave("CKsFilter::~CKsFilter", hr);
}

HRESULT CKsFilter::InternalInit() {
    KsTraceEnter("CKsFilter::InternalInit()");
    std::memset(m_szFilterName, 0, sizeof m_szFilterName);
    std::memset(m_szFriendlyName, 0, sizeof m_szFriendlyName);
    KsTraceLeave("CKsFilter::InternalInit", S_OK);
    return S_OK;
}

void CKsFilter::SetFriendlyName(const char* name) {
    std::memset(m_szFriendlyName, 0, sizeof m_szFriendlyName);
    for (ULONG i = 0; name && i + 1 < kKsFriendlyNameBytes && name[i]; ++i) m_szFriendlyName[i] = name[i];
}

void CKsFilter::SetBusRelations(const WCHAR* list, ULONG sourceUnits) {
    std::memset(m_mszBusRelations, 0, sizeof m_mszBusRelations);
    if (!list) return;
    // Whole strings only, and always room for the list's final empty string.
    ULONG out = 0;
    ULONG in = 0;
    while (in < sourceUnits && list[in]) {
        ULONG len = 0;
        while (in + len < sourceUnits && list[in + len]) ++len;
        if (in + len >= sourceUnits) break;                 // no terminator inside the source
        if (out + len + 1 + 1 > kKsBusRelationsUnits) break;  // would not fit with the final NUL
        std::memcpy(m_mszBusRelations + out, list + in, len * sizeof(WCHAR));
        out += len + 1;
        in += len + 1;
    }
}

EKsFilterType CKsFilter::GetType() {
    KsTraceEnter("CKsFilter::GetType()");
    KsTraceLeave("CKsFilter::GetType()");
    return m_eType;
}

HRESULT CKsFilter::Instantiate() {
    KsTraceEnter("CKsFilter::Instantiate()");
    HRESULT hr = S_OK;
    m_handle = CreateFileW(m_szFilterName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (!IsValidHandle(m_handle)) {
        KsDebugPrint(1, WSTR("CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x"),
                     static_cast<const WCHAR*>(m_szFilterName), GetLastError());
        hr = E_FAIL;
    }
    KsTraceLeave("CKsFilter::Instantiate", hr);
    return hr;
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, ULONG propertyId, void* value, ULONG size) {
    KsTraceEnter("CKsFilter::GetPinPropertySimple()");
    KSP_PIN request;
    std::memset(&request, 0, sizeof request);
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = propertyId;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    ULONG returned = 0;
    const HRESULT hr = SyncIoctl(m_handle, &request, sizeof request, value, value ? size : 0, &returned);
    KsTraceLeave("CKsFilter::GetPinPropertySimple", hr);
    return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, ULONG propertyId, void** buffer, ULONG* cbBlock) {
    KsTraceEnter("CKsFilter::GetPinPropertyMulti()");
    if (cbBlock) *cbBlock = 0;
    KSP_PIN request;
    std::memset(&request, 0, sizeof request);
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = propertyId;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    ULONG needed = 0;
    HRESULT hr = SyncIoctl(m_handle, &request, sizeof request, nullptr, 0, &needed);
    if (SUCCEEDED(hr) && needed > kKsMaxPropertyAnswerBytes) {
        KsDebugPrint(1, WSTR("Pin %u property %u needs %u bytes: not believed"), pinId, propertyId, needed);
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr) && buffer) {
        *buffer = nullptr;
        BYTE* block = needed ? new (std::nothrow) BYTE[needed] : nullptr;
        if (!block) {
            hr = E_OUTOFMEMORY;
        } else {
            // Zero-filled: a pended answer reports no byte count, and nothing unset is ever read.
            std::memset(block, 0, needed);
            ULONG returned = 0;
            hr = SyncIoctl(m_handle, &request, sizeof request, block, needed, &returned);
            *buffer = block;
            if (cbBlock) *cbBlock = KsAnswerBytes(returned, needed);
        }
    }
    KsTraceLeave("CKsFilter::GetPinPropertyMulti", hr);
    return hr;
}

HRESULT CKsFilter::EnumeratePins() {
    KsTraceEnter("CKsFilter::EnumeratePins()");
    ULONG count = 0;
    HRESULT hr = GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &count, sizeof count);
    if (SUCCEEDED(hr) && count > kKsMaxPinFactories) {
        KsDebugPrint(4, WSTR("Filter reports %u pins; reading the first %u"), count, kKsMaxPinFactories);
        count = kKsMaxPinFactories;
    }
    if (SUCCEEDED(hr)) {
        for (ULONG pinId = 0; pinId < count; ++pinId) {
            HRESULT hrPin = S_OK;
            CKsPin* pin = new (std::nothrow) CKsPin(this, pinId, &hrPin);
            if (!pin) {
                KsDebugPrint(1, WSTR("Failed to create pin"));
            } else if (FAILED(hrPin)) {
                KsDebugPrint(1, WSTR("Failed to construct pin"));
                delete pin;
            } else if (!m_listPins.AddTail(pin)) {
                KsDebugPrint(1, WSTR("Failed to create pin"));
                delete pin;
            }
        }
        hr = ClassifyPins();
        if (m_listOutSinkPins.IsEmpty() && m_listInSourcePins.IsEmpty() && m_listInSinkPins.IsEmpty() &&
            m_listOutSourcePins.IsEmpty() && m_listBridgePins.IsEmpty()) {
            KsDebugPrint(1, WSTR("Filter is not viable. It has no pins."));
            hr = E_FAIL;
        }
    }
    KsTraceLeave("CKsFilter::EnumeratePins", hr);
    return hr;
}

HRESULT CKsFilter::ClassifyPins() {
    KsTraceEnter("CKsFilter::ClassifyPins()");
    for (auto* node = m_listPins.GetHead(); node; node = node->pNext) {
        CKsPin* pin = node->pItem;
        KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
        KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
        pin->GetCommunication(&communication);
        pin->GetDataFlow(&dataFlow);
        const bool in = static_cast<ULONG>(dataFlow) == KSPIN_DATAFLOW_IN;
        switch (static_cast<ULONG>(communication)) {
        case KSPIN_COMMUNICATION_NONE:
            m_listBridgePins.AddTail(pin);
            break;
        case KSPIN_COMMUNICATION_SINK:
            (in ? m_listInSinkPins : m_listOutSinkPins).AddTail(pin);
            break;
        case KSPIN_COMMUNICATION_SOURCE:
            (in ? m_listInSourcePins : m_listOutSourcePins).AddTail(pin);
            break;
        case KSPIN_COMMUNICATION_BOTH:
            (in ? m_listInSinkPins : m_listOutSinkPins).AddTail(pin);
            (in ? m_listInSourcePins : m_listOutSourcePins).AddTail(pin);
            break;
        default:
            KsDebugPrint(5, WSTR("Pin communication type not recognized"));
            break;
        }
    }
    KsTraceLeave("CKsFilter::ClassifyPins", S_OK);
    return S_OK;
}

HRESULT CKsFilter::EnumerateNodes() {
    KsTraceEnter("CKsFilter::EnumerateNodes()");
    while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();
    void* block = nullptr;
    ULONG cbBlock = 0;
    HRESULT hr = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &block, &cbBlock);
    if (FAILED(hr)) {
        KsDebugPrint(4, WSTR("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
    } else if (block) {
        ULONG count = 0;
        if (!KsMultipleItemElements(block, cbBlock, sizeof(GUID), &count)) {
            hr = E_FAIL;  // the list does not fit the bytes returned: nothing of it is read
        } else {
            const auto* types = reinterpret_cast<const BYTE*>(block) + sizeof(KSMULTIPLE_ITEM);
            for (ULONG i = 0; i < count; ++i) {
                GUID type;
                std::memcpy(&type, types + i * sizeof(GUID), sizeof type);
                CKsNode* node = new (std::nothrow) CKsNode(i, type);
                if (node && !m_listNodes.AddTail(node)) delete node;
            }
            if (m_listNodes.GetCount() != count) {
                while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();
                hr = E_FAIL;
            }
        }
    }
    KsFreeBlock(block);
    KsTraceLeave("CKsFilter::EnumerateNodes", hr);
    return hr;
}

HRESULT CKsFilter::DestroyLists() {
    KsTraceEnter("CKsFilter::DestroyLists()");
    while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();
    while (!m_listPins.IsEmpty()) delete m_listPins.RemoveHead();
    while (!m_listInSinkPins.IsEmpty()) m_listInSinkPins.RemoveHead();
    while (!m_listOutSourcePins.IsEmpty()) m_listOutSourcePins.RemoveHead();
    while (!m_listOutSinkPins.IsEmpty()) m_listOutSinkPins.RemoveHead();
    while (!m_listInSourcePins.IsEmpty()) m_listInSourcePins.RemoveHead();
    while (!m_listBridgePins.IsEmpty()) m_listBridgePins.RemoveHead();
    KsTraceLeave("CKsFilter::DestroyLists", S_OK);
    return S_OK;
}
