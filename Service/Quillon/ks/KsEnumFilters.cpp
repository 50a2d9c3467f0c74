#include "Service/Quillon/ks/KsEnumFilters.h"

#include <cstring>
#include <new>

#include "Service/Quillon/ks/KsAudCapFilter.h"
#include "Service/Quillon/ks/KsAudRenFilter.h"

namespace {

constexpr DWORD kDetailBytes = 528;
constexpr DWORD kBusRelationsBytes = 4096;

// The interface's "FriendlyName" as narrow text, or an empty name.
void ReadFriendlyName(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface, char (&name)[kKsFriendlyNameBytes]) {
    std::memset(name, 0, sizeof name);
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, iface, 0, KEY_READ);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || key == nullptr) return;
    DWORD type = 0;
    DWORD size = sizeof name;
    if (RegQueryValueExA(key, "FriendlyName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        std::memset(name, 0, sizeof name);
    name[sizeof name - 1] = 0;  // a value that fills the buffer stays inside it
    RegCloseKey(key);
}

CKsFilter* NewFilter(EKsFilterType type, const WCHAR* path, HRESULT* hr) {
    switch (type) {
    case EKsFilterType::eUnknown: {
        CKsFilter* filter = new (std::nothrow) CKsFilter(path, hr);
        KsDebugPrint(3, WSTR("new CKsFilter(eUnknown)"));
        return filter;
    }
    case EKsFilterType::eRender: {
        CKsFilter* filter = new (std::nothrow) CKsAudRenFilter(path, hr);
        KsDebugPrint(3, WSTR("new CKsAudRenFilter()"));
        return filter;
    }
    case EKsFilterType::eCapture: {
        CKsFilter* filter = new (std::nothrow) CKsAudCapFilter(path, hr);
        KsDebugPrint(3, WSTR("new CKsAudCapFilter()"));
        return filter;
    }
    }
    CKsFilter* filter = new (std::nothrow) CKsFilter(path, hr);
    KsDebugPrint(3, WSTR("new CKsFilter()"));
    return filter;
}

}  // namespace

CKsEnumFilters::CKsEnumFilters() {
    KsTraceEnter("CKsEnumFilters::CKsEnumFilters()");
    KsTraceLeave("CKsEnumFilters::CKsEnumFilters", S_OK);
}

CKsEnumFilters::~CKsEnumFilters() {
    KsTraceEnter("CKsEnumFilters::~CKsEnumFilters()");
    CKsEnumFilters::DestroyLists();
    KsTraceLeave("CKsEnumFilters::~CKsEnumFilters", S_OK);
}

HRESULT CKsEnumFilters::DestroyLists() {
    KsTraceEnter("CKsEnumFilters::DestroyLists()");
    while (!m_listFilters.IsEmpty()) delete m_listFilters.RemoveHead();
    KsTraceLeave("CKsEnumFilters::DestroyLists", S_OK);
    return S_OK;
}

HRESULT CKsEnumFilters::EnumFilters(EKsFilterType type, const GUID* categories) {
    KsTraceEnter("CKsEnumFilters::EnumFilters()");
    HRESULT hr = DestroyLists();
    if (categories && categories[0] != GUID_NULL) {
        HDEVINFO set = SetupDiGetClassDevsW(&categories[0], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (!CKsIrpTarget::IsValidHandle(set)) {
            hr = E_FAIL;
            KsDebugPrint(4, WSTR("No devices found"));
        } else {
            SP_DEVICE_INTERFACE_DATA iface;
            std::memset(&iface, 0, sizeof iface);
            iface.cbSize = sizeof iface;
            for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &categories[0], index, &iface); ++index) {
                char friendlyName[kKsFriendlyNameBytes];
                ReadFriendlyName(set, &iface, friendlyName);

                auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(new (std::nothrow) BYTE[kDetailBytes]);
                if (!detail) continue;
                std::memset(detail, 0, kDetailBytes);
                detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
                SP_DEVINFO_DATA devInfo;
                std::memset(&devInfo, 0, sizeof devInfo);
                devInfo.cbSize = sizeof devInfo;
                if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, kDetailBytes, nullptr, &devInfo)) {
                    delete[] reinterpret_cast<BYTE*>(detail);
                    continue;
                }
                // The path ends inside the block whatever the call wrote.
                const ULONG pathUnits = (kDetailBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
                detail->DevicePath[pathUnits - 1] = 0;

                WCHAR busRelations[kBusRelationsBytes / sizeof(WCHAR)];
                std::memset(busRelations, 0, sizeof busRelations);
                DEVPROPTYPE propertyType = 0;
                SetupDiGetDevicePropertyW(set, &devInfo, &DEVPKEY_Device_BusRelations, &propertyType,
                                          reinterpret_cast<BYTE*>(busRelations), sizeof busRelations, nullptr, 0);

                SP_DEVICE_INTERFACE_DATA alias;
                std::memset(&alias, 0, sizeof alias);
                alias.cbSize = sizeof alias;
                if (!SetupDiGetDeviceInterfaceAlias(set, &iface, &categories[1], &alias)) {
                    KsDebugPrint(5, WSTR("Failed to get requested DeviceInterfaceAlias"));
                } else if (alias.Flags == 0 || (alias.Flags & SPINT_REMOVED)) {
                    KsDebugPrint(5, WSTR("DeviceInterfaceAlias disabled."));
                } else {
                    const WCHAR* path = detail->DevicePath;
                    KsDebugPrint(3, WSTR("Found Device: %s"), path);
                    HRESULT hrFilter = S_OK;
                    CKsFilter* filter = NewFilter(type, path, &hrFilter);
                    if (filter) {
                        filter->SetFriendlyName(friendlyName);
                        KsDebugPrint(3, WSTR("Filter Friendly Name = %s"), static_cast<const char*>(filter->m_szFriendlyName));
                        filter->SetBusRelations(busRelations, kBusRelationsBytes / sizeof(WCHAR));
                        if (SUCCEEDED(hrFilter)) hrFilter = filter->Instantiate();
                        if (SUCCEEDED(hrFilter)) hrFilter = filter->EnumeratePins();
                    }
                    if (filter && SUCCEEDED(hrFilter) && m_listFilters.AddTail(filter)) {
                        // kept
                    } else {
                        delete filter;
                        KsDebugPrint(1, WSTR("Failed to create filter for %s"), path);
                    }
                }
                delete[] reinterpret_cast<BYTE*>(detail);
            }
            SetupDiDestroyDeviceInfoList(set);
        }
    }
    if (SUCCEEDED(hr) && m_listFilters.IsEmpty()) hr = E_FAIL;
    KsTraceLeave("CKsEnumFilters::EnumFilters", hr);
    return hr;
}

bool CKsEnumFilters::EnumCaptureFilters() {
    const GUID categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
    return SUCCEEDED(EnumFilters(EKsFilterType::eCapture, categories));
}

bool CKsEnumFilters::EnumRenderFilters() {
    const GUID categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    return SUCCEEDED(EnumFilters(EKsFilterType::eRender, categories));
}
