// COM apartments: CoInitializeEx and CoUninitialize, counted per thread on its ThreadRec.
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/api.h"

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
