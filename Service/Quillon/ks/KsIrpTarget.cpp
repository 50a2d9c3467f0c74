#include "Service/Quillon/ks/KsIrpTarget.h"

#include <cstring>
#include <new>

void KsFreeBlock(void* block) { delete[] static_cast<BYTE*>(block); }

bool KsIsUnsupportedError(DWORD error) {
    return error == ERROR_NOT_FOUND || error == ERROR_SET_NOT_FOUND || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION;
}

HRESULT KsPropertyError(DWORD error, ULONG outSize, DWORD* count) {
    // A size query: the count is the size the driver needs.
    if ((error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && outSize == 0) return S_OK;
    *count = 0;
    if (KsIsUnsupportedError(error)) return E_NOTIMPL;
    if (error == ERROR_NOT_READY) return kKsNotReady;
    return E_FAIL;  // ERROR_SUCCESS included: a failure the driver gave no reason for
}

CKsIrpTarget::CKsIrpTarget() {
    KsTraceEnter("CKsIrpTarget::CKsIrpTarget()");
    m_handle = INVALID_HANDLE_VALUE;
    m_hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    KsTraceLeave("CKsIrpTarget::CKsIrpTarget()");
}

CKsIrpTarget::~CKsIrpTarget() {
    // The derived classes close m_handle; the event goes with the object.
    SafeCloseHandle(m_hEvent);
}

HANDLE CKsIrpTarget::GetHandle() {
    KsTraceEnter("CKsIrpTarget::GetHandle()");
    KsTraceLeave("CKsIrpTarget::GetHandle()");
    return m_handle;
}

BOOL CKsIrpTarget::IsValidHandle(HANDLE handle) {
    KsTraceEnter("CKsIrpTarget::IsValidHandle()");
    const BOOL valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
    KsTraceLeave("CKsIrpTarget::IsValidHandle()");
    return valid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    KsTraceEnter("CKsIrpTarget::SafeCloseHandle()");
    BOOL result = TRUE;
    if (IsValidHandle(handle)) {
        result = CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    KsTraceLeave("CKsIrpTarget::SafeCloseHandle()");
    return result;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, void* in, ULONG inSize, void* out, ULONG outSize,
                                ULONG* bytesReturned) {
    KsTraceEnter("CKsIrpTarget::SyncIoctl()");
    CLockGuard guard(m_lock);
    HRESULT hr = S_OK;
    DWORD local = 0;
    DWORD* count = bytesReturned ? reinterpret_cast<DWORD*>(bytesReturned) : &local;
    static_assert(sizeof(ULONG) == sizeof(DWORD));
    if (!IsValidHandle(handle)) {
        KsDebugPrint(1, WSTR("CKsIrpTarget::SyncIoctl Invalid Handle"));
        hr = E_FAIL;
    } else if (m_hEvent == nullptr) {
        KsDebugPrint(1, WSTR("CKsIrpTarget::SyncIoctl CreateEvent failed"));
        hr = E_OUTOFMEMORY;
    } else {
        OVERLAPPED overlapped;
        std::memset(&overlapped, 0, sizeof overlapped);
        // Bit 0 set: the completion is not queued to a completion port the handle may be bound to. The
        // bit is the I/O manager's; waits name the event itself.
        overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(m_hEvent) | 1);
        ResetEvent(m_hEvent);
        SetLastError(0);
        if (!DeviceIoControl(handle, IOCTL_KS_PROPERTY, in, inSize, out, outSize, count, &overlapped)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                // The end of the wait says only that the request completed: its outcome is the completion's.
                const DWORD wait = WaitForSingleObject(m_hEvent, INFINITE);
                *count = 0;
                if (wait != WAIT_OBJECT_0) {
                    KsDebugPrint(1, WSTR("CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x"), wait);
                    hr = E_FAIL;
                } else if (!GetOverlappedResult(handle, &overlapped, count, FALSE)) {
                    hr = KsPropertyError(GetLastError(), outSize, count);
                }
            } else {
                hr = KsPropertyError(error, outSize, count);
            }
        }
    }
    KsTraceLeave("CKsIrpTarget::SyncIoctl", hr);
    return hr;
}

HRESULT CKsIrpTarget::PropertyRequest(const char* enter, const char* leave, ULONG flags, const GUID& set, ULONG id,
                                      void* value, ULONG valueSize, const void* extra, ULONG extraSize) {
    KsTraceEnter(enter);
    HRESULT hr = S_OK;
    const ULONGLONG requestSize = sizeof(KSPROPERTY) + static_cast<ULONGLONG>(extra ? extraSize : 0);
    // Aligned for the handles and addresses the instance data carries.
    alignas(8) BYTE local[kKsLocalRequestBytes];
    BYTE* heap = nullptr;
    BYTE* request = local;
    if (requestSize > 0xFFFFFFFFull) {
        hr = E_INVALIDARG;
    } else if (requestSize <= kKsLocalRequestBytes) {
        std::memset(local, 0, sizeof local);
    } else {
        heap = new (std::nothrow) BYTE[requestSize];
        if (!heap) hr = E_OUTOFMEMORY;
        request = heap;
    }
    if (SUCCEEDED(hr)) {
        KSPROPERTY header;
        std::memset(&header, 0, sizeof header);
        header.Set = set;
        header.Id = id;
        header.Flags = flags;
        std::memcpy(request, &header, sizeof header);
        if (extra && extraSize) std::memcpy(request + sizeof header, extra, extraSize);
        if (flags == KSPROPERTY_TYPE_GET && value && valueSize) std::memset(value, 0, valueSize);
        ULONG returned = 0;
        hr = SyncIoctl(m_handle, request, static_cast<ULONG>(requestSize), value, value ? valueSize : 0, &returned);
    }
    KsTraceLeave(leave, hr);
    delete[] heap;
    return hr;
}

HRESULT CKsIrpTarget::GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra,
                                        ULONG extraSize) {
    return PropertyRequest("CKsIrpTarget::GetPropertySimple()", "CKsIrpTarget::GetPropertySimple",
                           KSPROPERTY_TYPE_GET, set, id, value, valueSize, extra, extraSize);
}

HRESULT CKsIrpTarget::SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra,
                                        ULONG extraSize) {
    return PropertyRequest("CKsIrpTarget::SetPropertySimple()", "CKsIrpTarget::SetPropertySimple",
                           KSPROPERTY_TYPE_SET, set, id, value, valueSize, extra, extraSize);
}

HRESULT CKsIrpTarget::GetPropertyMulti(const GUID& set, ULONG id, void** buffer, ULONG* cbBlock) {
    KsTraceEnter("CKsIrpTarget::GetPropertyMulti()");
    if (buffer) *buffer = nullptr;
    if (cbBlock) *cbBlock = 0;
    KSPROPERTY request;
    std::memset(&request, 0, sizeof request);
    request.Set = set;
    request.Id = id;
    request.Flags = KSPROPERTY_TYPE_GET;
    ULONG needed = 0;
    HRESULT hr = SyncIoctl(m_handle, &request, sizeof request, nullptr, 0, &needed);
    if (SUCCEEDED(hr) && needed > kKsMaxPropertyAnswerBytes) {
        KsDebugPrint(1, WSTR("Property %u needs %u bytes: not believed"), id, needed);
        hr = E_FAIL;
    }
    if (SUCCEEDED(hr) && needed && buffer) {
        BYTE* block = new (std::nothrow) BYTE[needed];
        if (!block) {
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(block, 0, needed);
            ULONG returned = 0;
            hr = SyncIoctl(m_handle, &request, sizeof request, block, needed, &returned);
            *buffer = block;
            if (cbBlock) *cbBlock = KsAnswerBytes(returned, needed);
        }
    }
    KsTraceLeave("CKsIrpTarget::GetPropertyMulti", hr);
    return hr;
}
