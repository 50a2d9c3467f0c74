#include "Service/Quillon/ks/KsPin.h"

#include <cstring>

#include "Service/Quillon/ks/KsFilter.h"
#include "Service/Quillon/ks/KsMultipleItem.h"
#include "Service/Quillon/ks/KsUserLibrary.h"

CKsPin::CKsPin(CKsFilter* pFilter, ULONG pinId, HRESULT* phr)
    : m_pksPinConnect(nullptr),
      m_cbPinConnect(0),
      m_ulPinId(pinId),
      m_pFilter(pFilter),
      m_guidCategory(GUID_NULL),
      m_ePinType(0),
      m_ksState(KSSTATE_STOP),
      m_bLooped(FALSE),
      m_bExclusive(FALSE) {
    KsTraceEnter("CKsPin::CKsPin()");
    m_cInterfaces = 0;
    m_pInterfaces = nullptr;
    m_cMediums = 0;
    m_pMediums = nullptr;
    m_cDataRanges = 0;
    m_pDataRanges = nullptr;
    m_cbDataRanges = 0;
    m_ksDataFlow = 0;
    m_ksCommunication = 0;
    std::memset(&m_cInstances, 0, sizeof m_cInstances);
    std::memset(&m_cGlobalInstances, 0, sizeof m_cGlobalInstances);
    m_pDataRangesItem = nullptr;
    m_pMediumsItem = nullptr;
    m_pInterfacesItem = nullptr;
    std::memset(m_szPinName, 0, sizeof m_szPinName);
    const HRESULT hr = Init();
    if (phr) *phr = hr;
    KsTraceLeave("CKsPin::CKsPin", hr);
}

CKsPin::~CKsPin() {
    KsTraceEnter("CKsPin::~CKsPin()");
    // A plain pin's own close: the derived parts are gone by now.
    CKsPin::ClosePin();
    delete[] m_pksPinConnect;
    KsFreeBlock(m_pDataRangesItem);
    KsFreeBlock(m_pMediumsItem);
    KsFreeBlock(m_pInterfacesItem);
    KsTraceLeave("CKsPin::~CKsPin()");
}

namespace {

// Reads one identifier list (interfaces, mediums) and checks it before anything of it is used.
bool ReadIdentifiers(CKsFilter* filter, ULONG pinId, ULONG propertyId, void** item, ULONG* count,
                     const KSIDENTIFIER** first) {
    ULONG cbAnswer = 0;
    const HRESULT hr = filter->GetPinPropertyMulti(pinId, propertyId, item, &cbAnswer);
    ULONG elements = 0;
    if (FAILED(hr) || !KsMultipleItemElements(*item, cbAnswer, sizeof(KSIDENTIFIER), &elements)) {
        KsFreeBlock(*item);
        *item = nullptr;
        return false;
    }
    *count = elements;
    *first = reinterpret_cast<const KSIDENTIFIER*>(static_cast<BYTE*>(*item) + sizeof(KSMULTIPLE_ITEM));
    return true;
}

}  // namespace

HRESULT CKsPin::Init() {
    KsTraceEnter("CKsPin::Init()");
    HRESULT hr = S_OK;
    CKsFilter* filter = m_pFilter;
    if (!filter) {
        KsTraceLeave("CKsPin::Init", 1);
        return 1;
    }
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_COMMUNICATION, &m_ksCommunication,
                                            sizeof m_ksCommunication))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    if (!ReadIdentifiers(filter, m_ulPinId, KSPROPERTY_PIN_INTERFACES, &m_pInterfacesItem, &m_cInterfaces,
                         &m_pInterfaces)) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    if (!ReadIdentifiers(filter, m_ulPinId, KSPROPERTY_PIN_MEDIUMS, &m_pMediumsItem, &m_cMediums, &m_pMediums)) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    {
        ULONG cbAnswer = 0;
        ULONG count = 0;
        ULONG bytes = 0;
        const HRESULT hrRanges = filter->GetPinPropertyMulti(m_ulPinId, KSPROPERTY_PIN_DATARANGES, &m_pDataRangesItem,
                                                             &cbAnswer);
        if (FAILED(hrRanges) ||
            !KsMultipleItemVariable(m_pDataRangesItem, cbAnswer, sizeof(KSDATARANGE), &count, &bytes)) {
            KsFreeBlock(m_pDataRangesItem);
            m_pDataRangesItem = nullptr;
            KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d"), m_ulPinId);
            hr = 1;
        } else {
            m_cDataRanges = count;
            m_pDataRanges = static_cast<const BYTE*>(m_pDataRangesItem) + sizeof(KSMULTIPLE_ITEM);
            m_cbDataRanges = bytes;
        }
    }
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_DATAFLOW, &m_ksDataFlow, sizeof m_ksDataFlow))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_CINSTANCES, &m_cInstances, sizeof m_cInstances))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_GLOBALCINSTANCES, &m_cGlobalInstances,
                                            sizeof m_cGlobalInstances))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d"),
                     m_ulPinId);
        hr = 1;
    }
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_CATEGORY, &m_guidCategory,
                                            sizeof m_guidCategory))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d"), m_ulPinId);
        hr = 1;
    }
    // The name may fill the whole answer: the driver gets all but the last unit, which stays the NUL.
    if (FAILED(filter->GetPinPropertySimple(m_ulPinId, KSPROPERTY_PIN_NAME, m_szPinName,
                                            sizeof m_szPinName - sizeof(WCHAR)))) {
        KsDebugPrint(3, WSTR("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d"), m_ulPinId);
    }
    m_szPinName[kKsPinNameUnits - 1] = 0;
    KsTraceLeave("CKsPin::Init", hr);
    return hr;
}

HRESULT CKsPin::Instantiate(BOOL looped, BOOL exclusive) {
    KsTraceEnter("CKsPin::Instantiate()");
    if (!m_pksPinConnect) {
        KsTraceLeave("CKsPin::Instantiate", S_OK);
        return S_OK;
    }
    m_bLooped = looped;
    m_bExclusive = exclusive;
    KSPIN_CONNECT connect;
    std::memcpy(&connect, m_pksPinConnect, sizeof connect);
    connect.Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    connect.Priority.PriorityClass = exclusive ? KSPRIORITY_EXCLUSIVE : KSPRIORITY_NORMAL;
    connect.PinToHandle = nullptr;
    std::memcpy(m_pksPinConnect, &connect, sizeof connect);
    const HRESULT hr = CKsUserLibrary::Get().Create(m_pFilter ? m_pFilter->GetHandle() : INVALID_HANDLE_VALUE,
                                                    reinterpret_cast<PKSPIN_CONNECT>(m_pksPinConnect),
                                                    GENERIC_READ | GENERIC_WRITE, &m_handle);
    if (FAILED(hr)) KsDebugPrint(1, WSTR("Failed to instantiate pin. hr=%08x"), hr);
    // A new instance starts in KSSTATE_STOP, whatever the state the last one was left in.
    else m_ksState = KSSTATE_STOP;
    KsTraceLeave("CKsPin::Instantiate", hr);
    return hr;
}

HRESULT CKsPin::Reinstantiate() {
    ClosePin();
    return Instantiate(m_bLooped, m_bExclusive);
}

void CKsPin::ClosePin() {
    KsTraceEnter("CKsPin::ClosePin()");
    if (IsValidHandle(m_handle)) {
        SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
        m_ksState = KSSTATE_STOP;  // even when the stop was refused: the instance is gone
    }
    KsTraceLeave("CKsPin::ClosePin()");
}

HRESULT CKsPin::_SetState(KSSTATE state) {
    KsTraceEnter("CKsPin::_SetState()");
    ULONG value = static_cast<ULONG>(state);
    const HRESULT hr = SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
    if (SUCCEEDED(hr)) m_ksState = state;
    else KsDebugPrint(1, WSTR("Failed to Set Pin State"));
    KsTraceLeave("CKsPin::_SetState", hr);
    return hr;
}

HRESULT CKsPin::SetState(KSSTATE state) {
    HRESULT hr = S_OK;
    while (m_ksState != state) {
        const int next = static_cast<int>(m_ksState) + (state < m_ksState ? -1 : 1);
        hr = _SetState(static_cast<KSSTATE>(next));
        if (FAILED(hr)) break;
    }
    return hr;
}

HRESULT CKsPin::GetCommunication(KSPIN_COMMUNICATION* communication) {
    KsTraceEnter("CKsPin::GetCommunication()");
    // The stored word is the driver's: a value beyond the enumeration is not a value of the enum type, so
    // it is handed out as BRIDGE, which no pin list takes either.
    if (communication)
        *communication = m_ksCommunication <= KSPIN_COMMUNICATION_BRIDGE ? static_cast<KSPIN_COMMUNICATION>(m_ksCommunication)
                                                                         : KSPIN_COMMUNICATION_BRIDGE;
    KsTraceLeave("CKsPin::GetCommunication", S_OK);
    return S_OK;
}

HRESULT CKsPin::GetDataFlow(KSPIN_DATAFLOW* dataFlow) {
    KsTraceEnter("CKsPin::GetDataFlow()");
    // Anything but IN counts as OUT wherever the flow is used; a word beyond the enumeration is handed out so.
    if (dataFlow)
        *dataFlow = m_ksDataFlow == KSPIN_DATAFLOW_IN ? KSPIN_DATAFLOW_IN
                                                      : static_cast<KSPIN_DATAFLOW>(KSPIN_DATAFLOW_OUT);
    KsTraceLeave("CKsPin::GetDataFlow", S_OK);
    return S_OK;
}

HRESULT CKsPin::Queue(DWORD code, KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    if (m_ksState < KSSTATE_PAUSE) return E_ABORT;
    DWORD returned = 0;
    if (DeviceIoControl(m_handle, code, nullptr, 0, header, header ? header->Size : 0, &returned, overlapped))
        return S_OK;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return S_OK;
    if (code == IOCTL_KS_READ_STREAM) KsDebugPrint(1, WSTR("DeviceIoControl Failed!  Error=%08x"), error);
    else KsDebugPrint(1, WSTR("CKsPin::WriteData's DeviceIoControl Failed!  Error=%#08x"), error);
    return E_FAIL;
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KsTraceEnter("CKsPin::ReadData()");
    const HRESULT hr = Queue(IOCTL_KS_READ_STREAM, header, overlapped);
    KsTraceLeave("CKsPin::ReadData", hr);
    return hr;
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KsTraceEnter("CKsPin::WriteData()");
    const HRESULT hr = Queue(IOCTL_KS_WRITE_STREAM, header, overlapped);
    KsTraceLeave("CKsPin::WriteData", hr);
    return hr;
}
