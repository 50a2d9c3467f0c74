// CKsEnumFilters: the KS filters present for one device interface class that also carry a second class
// as an alias, each opened as a filter object of the requested kind with its pins enumerated. The list
// owns its filters; the next enumeration deletes them first, so nobody may use them across it.
#pragma once

#include "Service/Quillon/ks/KsFilter.h"
#include "Service/Quillon/ks/KsFilterType.h"
#include "Service/Quillon/ks/KsList.h"

class CKsEnumFilters {
public:
    CKsEnumFilters();
    virtual ~CKsEnumFilters();
    CKsEnumFilters(const CKsEnumFilters&) = delete;
    CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

    virtual HRESULT DestroyLists();

    // categories[0]: the class enumerated; categories[1]: the class each interface must have as an alias.
    // S_OK when at least one filter is in the list afterwards.
    HRESULT EnumFilters(EKsFilterType type, const GUID* categories);
    bool EnumCaptureFilters();  // EKsFilterType::eCapture, {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE}
    bool EnumRenderFilters();   // EKsFilterType::eRender, {KSCATEGORY_AUDIO, KSCATEGORY_RENDER}

    KsList<CKsFilter> m_listFilters;  // owns its filters
};
