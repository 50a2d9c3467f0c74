// CKsFilter: one KS filter (a device interface of an audio driver, opened as a file), its pins sorted by
// data flow and communication, its topology nodes and the pin property requests its pins describe
// themselves with. The file handle must stay open while any of its pins is instantiated.
#pragma once

#include "Service/Quillon/ks/KsFilterType.h"
#include "Service/Quillon/ks/KsIrpTarget.h"
#include "Service/Quillon/ks/KsList.h"
#include "Service/Quillon/ks/KsNode.h"

class CKsPin;

inline constexpr ULONG kKsFilterNameUnits = 260;
inline constexpr ULONG kKsFriendlyNameBytes = 260;
inline constexpr ULONG kKsBusRelationsUnits = 2048;
// The most pin factories a filter's enumeration reads: the count is the driver's word, and a count of
// billions would keep the caller in the walk for hours. Audio filters have a handful.
inline constexpr ULONG kKsMaxPinFactories = 256;

class CKsFilter : public CKsIrpTarget {
public:
    CKsFilter(const WCHAR* pszName, HRESULT* phr);
    ~CKsFilter() override;

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT ClassifyPins();
    // The 32-byte pin request; the value buffer is not cleared first.
    HRESULT GetPinPropertySimple(ULONG pinId, ULONG propertyId, void* value, ULONG size);
    // A variable-size pin property; the block belongs to the caller (KsFreeBlock). cbBlock, when given,
    // receives how many bytes of it hold the driver's answer.
    HRESULT GetPinPropertyMulti(ULONG pinId, ULONG propertyId, void** buffer, ULONG* cbBlock = nullptr);
    EKsFilterType GetType();

    // Set by the enumeration. The friendly name is cut to its field; the bus relations (strings each
    // ended by a NUL, the list by an empty string) are copied as far as the field holds them, read no
    // further than sourceUnits, and always end with the empty string.
    void SetFriendlyName(const char* name);
    void SetBusRelations(const WCHAR* list, ULONG sourceUnits);

    // Read by the audio filters, the enumeration and the stream objects.
    KsList<CKsNode> m_listNodes;          // owns its nodes
    KsList<CKsPin> m_listPins;            // owns every pin
    KsList<CKsPin> m_listInSinkPins;      // flow IN, SINK or BOTH: render streams
    KsList<CKsPin> m_listOutSourcePins;   // flow not IN, SOURCE or BOTH
    KsList<CKsPin> m_listOutSinkPins;     // flow not IN, SINK or BOTH: capture streams
    KsList<CKsPin> m_listInSourcePins;    // flow IN, SOURCE or BOTH
    KsList<CKsPin> m_listBridgePins;      // communication NONE
    EKsFilterType m_eType;
    WCHAR m_szFilterName[kKsFilterNameUnits];
    char m_szFriendlyName[kKsFriendlyNameBytes];
    WCHAR m_mszBusRelations[kKsBusRelationsUnits];

protected:
    HRESULT InternalInit();
};
