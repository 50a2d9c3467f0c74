// CKsPin: one pin type of an opened filter. It reads and keeps the pin's description, creates a pin
// instance from its connection request (filled by the audio pin), changes the instance's state one step
// at a time, queues stream reads and writes and closes the instance.
#pragma once

#include "Service/Quillon/ks/KsIrpTarget.h"

class CKsFilter;

inline constexpr ULONG kKsPinNameUnits = 260;

class CKsPin : public CKsIrpTarget {
public:
    CKsPin(CKsFilter* pFilter, ULONG pinId, HRESULT* phr);
    ~CKsPin() override;

    virtual HRESULT Instantiate(BOOL looped, BOOL exclusive);
    virtual HRESULT Reinstantiate();
    virtual void ClosePin();
    virtual HRESULT SetState(KSSTATE state);

    HRESULT Init();
    HRESULT _SetState(KSSTATE state);
    HRESULT GetCommunication(KSPIN_COMMUNICATION* communication);
    HRESULT GetDataFlow(KSPIN_DATAFLOW* dataFlow);
    // One stream read (capture) or write (render), queued without waiting; E_ABORT below PAUSE.
    HRESULT ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);

    // Read by the stream objects and the audio classes.
    BYTE* m_pksPinConnect;  // KSPIN_CONNECT and the data format behind it; null for a plain pin; owned
    ULONG m_cbPinConnect;
    ULONG m_ulPinId;
    CKsFilter* m_pFilter;
    GUID m_guidCategory;
    ULONG m_cInterfaces;
    const KSPIN_INTERFACE* m_pInterfaces;
    ULONG m_cMediums;
    const KSPIN_MEDIUM* m_pMediums;
    ULONG m_cDataRanges;
    const BYTE* m_pDataRanges;  // the first data range; the next one is FormatSize bytes further
    ULONG m_cbDataRanges;       // bytes of data ranges the driver's answer holds from m_pDataRanges on
    ULONG m_ksDataFlow;
    ULONG m_ksCommunication;
    KSPIN_CINSTANCES m_cInstances;
    KSPIN_CINSTANCES m_cGlobalInstances;
    void* m_pDataRangesItem;  // the KSMULTIPLE_ITEM blocks as the filter returned them; owned
    void* m_pMediumsItem;
    void* m_pInterfacesItem;
    int m_ePinType;  // 0 plain, 1 render, 2 capture
    KSSTATE m_ksState;
    WCHAR m_szPinName[kKsPinNameUnits];
    BOOL m_bLooped;
    BOOL m_bExclusive;

private:
    HRESULT Queue(DWORD code, KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
};
