// The audio policy-configuration object, for both builds. Windows does not document it and its SDK does
// not declare it: only its class and interface identifiers, the position of SetEndpointVisibility (the
// fifteenth entry of its method table, counting IUnknown's three) and that method's arguments are
// relied on. The eleven entries before it are never called; they only hold their places.
#pragma once

// {870AF99C-171D-4F9E-AF0D-E63DF40C2BC9}
DEFINE_GUID(CLSID_PolicyConfig, 0x870af99c, 0x171d, 0x4f9e, 0xaf, 0x0d, 0xe6, 0x3d, 0xf4, 0x0c, 0x2b, 0xc9);
// {F8679F50-850A-41CF-9C72-430F290290C8}
DEFINE_GUID(IID_IPolicyConfig, 0xf8679f50, 0x850a, 0x41cf, 0x9c, 0x72, 0x43, 0x0f, 0x29, 0x02, 0x90, 0xc8);

struct IPolicyConfig : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unused04() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused05() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused06() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused07() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused08() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused09() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused12() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused13() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused14() = 0;
    // Shows (TRUE) or hides (FALSE) the endpoint with this MMDevice identifier.
    virtual HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR pszDeviceName, BOOL bVisible) = 0;
};
