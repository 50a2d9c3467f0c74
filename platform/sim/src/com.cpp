// COM apartments (CoInitializeEx and CoUninitialize, counted per thread on its ThreadRec), object
// creation for the classes the machine provides (the endpoint store's), task memory and PROPVARIANT.
#include <cstdlib>

#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/com.h"

namespace {

sim::Machine& M() { return sim::Machine::Current(); }

sim::ThreadRec* Self() {
    if (sim::ThreadRec* t = M().CurrentThread()) return t;
    M().CurrentProcess();  // registers a thread the machine did not start
    return M().CurrentThread();
}

// Only the threading model decides whether a second call is compatible; the other flags do not.
DWORD ModelOf(DWORD coInit) { return coInit & COINIT_APARTMENTTHREADED; }

}  // namespace

// An injected failure is taken as an HRESULT when it has the severity bit, else as a Win32 error.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    DWORD err;
    if (M().TakeFailure("CoInitializeEx", &err))
        return static_cast<HRESULT>(err) < 0 ? static_cast<HRESULT>(err) : HRESULT_FROM_WIN32(err);
    if (pvReserved) return E_INVALIDARG;
    sim::ThreadRec* self = Self();
    std::lock_guard lock(M().Mutex());
    if (self->comInitCount == 0) {
        self->comInitCount = 1;
        self->comModel = ModelOf(dwCoInit);
        return S_OK;
    }
    if (self->comModel != ModelOf(dwCoInit)) return RPC_E_CHANGED_MODE;
    ++self->comInitCount;
    return S_FALSE;
}

void CoUninitialize() {
    sim::ThreadRec* self = Self();
    std::lock_guard lock(M().Mutex());
    if (self->comInitCount > 0 && --self->comInitCount == 0) self->comModel = 0;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    DWORD err;
    const bool failing = M().TakeFailure("CoCreateInstance", &err);
    if (!ppv) return E_POINTER;
    *ppv = nullptr;  // on every failure, injected ones too
    if (failing) return static_cast<HRESULT>(err) < 0 ? static_cast<HRESULT>(err) : HRESULT_FROM_WIN32(err);
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    if ((dwClsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
    {
        sim::ThreadRec* self = Self();
        std::lock_guard lock(M().Mutex());
        if (self->comInitCount == 0) return CO_E_NOTINITIALIZED;
    }
    return sim::EndpointStore::Of(M()).CreateInstance(rclsid, riid, ppv);
}

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    DWORD err;
    if (M().TakeFailure("CoTaskMemAlloc", &err)) return nullptr;
    void* block = std::malloc(cb ? cb : 1);
    if (block) sim::EndpointStore::Of(M()).TaskMemoryAllocated();
    return block;
}

void CoTaskMemFree(LPVOID pv) {
    if (!pv) return;
    std::free(pv);
    sim::EndpointStore::Of(M()).TaskMemoryFreed();
}

HRESULT PropVariantClear(PROPVARIANT* pvar) {
    if (!pvar) return E_INVALIDARG;
    switch (pvar->vt) {
        case VT_LPWSTR: CoTaskMemFree(pvar->pwszVal); break;
        case VT_LPSTR: CoTaskMemFree(pvar->pszVal); break;
        case VT_CLSID: CoTaskMemFree(pvar->puuid); break;
        case VT_BLOB: CoTaskMemFree(pvar->blob.pBlobData); break;
        default: break;
    }
    PropVariantInit(pvar);
    return S_OK;
}
