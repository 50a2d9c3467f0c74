// COM basics, property values and keys, and the MMDevice API interfaces the service uses, with the SDK's
// names, values and record layouts. Interface method tables hold the methods the programs call (the
// simulated objects implement them); their order inside a table is not the SDK's except for
// IPolicyConfig (platform/policy_config.h), whose one used method has a fixed position.
#pragma once

#include "platform/sim/include/simwin/types.h"

#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L

#define REGDB_E_CLASSNOTREG (static_cast<HRESULT>(0x80040154L))
#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110L))
#define STG_E_ACCESSDENIED (static_cast<HRESULT>(0x80030005L))
#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;  // objects end through Release
};
using LPUNKNOWN = IUnknown*;

// {00000000-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// Property values.
using VARTYPE = USHORT;
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UI4 = 19,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_BLOB = 65,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
};

struct BLOB {
    ULONG cbSize;
    BYTE* pBlobData;
};

struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        LARGE_INTEGER hVal;
        LPSTR pszVal;
        LPWSTR pwszVal;
        CLSID* puuid;
        BLOB blob;
    };
};
using REFPROPVARIANT = const PROPVARIANT&;
inline void PropVariantInit(PROPVARIANT* pvar) {
    pvar->vt = VT_EMPTY;
    pvar->wReserved1 = pvar->wReserved2 = pvar->wReserved3 = 0;
    pvar->blob = BLOB{0, nullptr};
}
HRESULT PropVariantClear(PROPVARIANT* pvar);

struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;
};
using REFPROPERTYKEY = const PROPERTYKEY&;
#define DEFINE_PROPERTYKEY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8, id) \
    inline constexpr PROPERTYKEY name = {{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}, id}

DEFINE_PROPERTYKEY(PKEY_AudioEndpoint_GUID, 0x1da5d803, 0xd492, 0x4edd, 0x8c, 0x23, 0xe0, 0xc0, 0xff, 0xee, 0x7f,
                   0x0e, 4);
DEFINE_PROPERTYKEY(PKEY_AudioEndpoint_JackSubType, 0x1da5d803, 0xd492, 0x4edd, 0x8c, 0x23, 0xe0, 0xc0, 0xff, 0xee,
                   0x7f, 0x0e, 8);
DEFINE_PROPERTYKEY(PKEY_Device_DeviceDesc, 0xa45c254e, 0xdf1c, 0x4efd, 0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0,
                   2);
DEFINE_PROPERTYKEY(PKEY_Device_FriendlyName, 0xa45c254e, 0xdf1c, 0x4efd, 0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50,
                   0xe0, 14);
DEFINE_PROPERTYKEY(PKEY_Device_ContainerId, 0x8c7ed206, 0x3f8a, 0x4827, 0xb3, 0xab, 0xae, 0x9e, 0x1f, 0xae, 0xfc,
                   0x6c, 2);

struct IPropertyStore : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* cProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD iProp, PROPERTYKEY* pkey) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* pv) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT propvar) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit() = 0;
};

// The MMDevice API.
enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2, EDataFlow_enum_count = 3 };
#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define DEVICE_STATEMASK_ALL 0x0000000f

struct IMMDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                                               void** ppInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD stgmAccess, IPropertyStore** ppProperties) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* ppstrId) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pdwState) = 0;
};

struct IMMDeviceCollection : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* pcDevices) = 0;
    virtual HRESULT STDMETHODCALLTYPE Item(UINT nDevice, IMMDevice** ppDevice) = 0;
};

struct IMMDeviceEnumerator : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                                                         IMMDeviceCollection** ppDevices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR pwstrId, IMMDevice** ppDevice) = 0;
};

struct IAudioEndpointVolume : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* pnChannelCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float fLevel, const GUID* pguidEventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float* pfLevel) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMute(BOOL bMute, const GUID* pguidEventContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMute(BOOL* pbMute) = 0;
};

struct IPart;
struct IConnector : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE IsConnected(BOOL* pbConnected) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedDeviceId(LPWSTR*) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR* ppwstrDeviceId) = 0;
};

struct IDeviceTopology : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* pCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnector(UINT nIndex, IConnector** ppConnector) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR* ppwstrDeviceId) = 0;
};

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
DEFINE_GUID(CLSID_MMDeviceEnumerator, 0xbcde0395, 0xe52f, 0x467c, 0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e);
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
DEFINE_GUID(IID_IMMDeviceEnumerator, 0xa95664d2, 0x9614, 0x4f35, 0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36, 0x17, 0xe6);
// {D666063F-1587-4E43-81F1-B948E807363F}
DEFINE_GUID(IID_IMMDevice, 0xd666063f, 0x1587, 0x4e43, 0x81, 0xf1, 0xb9, 0x48, 0xe8, 0x07, 0x36, 0x3f);
// {0BD7A1BE-7A1A-44DB-8397-CC5392387B5E}
DEFINE_GUID(IID_IMMDeviceCollection, 0x0bd7a1be, 0x7a1a, 0x44db, 0x83, 0x97, 0xcc, 0x53, 0x92, 0x38, 0x7b, 0x5e);
// {886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}
DEFINE_GUID(IID_IPropertyStore, 0x886d8eeb, 0x8cf2, 0x4446, 0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf, 0x99);
// {5CDF2C82-841E-4546-9722-0CF74078229A}
DEFINE_GUID(IID_IAudioEndpointVolume, 0x5cdf2c82, 0x841e, 0x4546, 0x97, 0x22, 0x0c, 0xf7, 0x40, 0x78, 0x22, 0x9a);
// {2A07407E-6497-4A18-9787-32F79BD0D98F}
DEFINE_GUID(IID_IDeviceTopology, 0x2a07407e, 0x6497, 0x4a18, 0x97, 0x87, 0x32, 0xf7, 0x9b, 0xd0, 0xd9, 0x8f);
// {9C2C4058-23F5-41DE-877A-DF3AF236A09E}
DEFINE_GUID(IID_IConnector, 0x9c2c4058, 0x23f5, 0x41de, 0x87, 0x7a, 0xdf, 0x3a, 0xf2, 0x36, 0xa0, 0x9e);

static_assert(sizeof(PROPVARIANT) == 24 && offsetof(PROPVARIANT, pwszVal) == 8);
static_assert(sizeof(PROPERTYKEY) == 20 && offsetof(PROPERTYKEY, pid) == 16);
