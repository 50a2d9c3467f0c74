// CKsIrpTarget: one open Kernel Streaming object (a filter or a pin instance) and its synchronous
// property requests. Requests on one object are serialised by its lock, held across the whole request
// including the wait for a pended completion; the one event per object is safe because of it.
#pragma once

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/common/CountedLock.h"
#include "platform/win32.h"

// Property requests up to this size are built in a local buffer: no heap memory.
inline constexpr ULONG kKsLocalRequestBytes = 2048;
// The largest variable-size property answer believed: a driver's size query stating more (a whole pin's
// data ranges take a few kilobytes) is not answered with an allocation of that size.
inline constexpr ULONG kKsMaxPropertyAnswerBytes = 1u << 20;

// Frees a block handed out by GetPropertyMulti / GetPinPropertyMulti.
void KsFreeBlock(void* block);

// A property request's failure as the layer reports it: the errors with which drivers and stacks answer
// a property they do not implement (ERROR_NOT_FOUND, ERROR_SET_NOT_FOUND, ERROR_NOT_SUPPORTED,
// ERROR_INVALID_FUNCTION) all give E_NOTIMPL; STATUS_DEVICE_NOT_READY (a WaveRT pin with no new packet)
// gives kKsNotReady; ERROR_INSUFFICIENT_BUFFER or ERROR_MORE_DATA without an output buffer is a size query
// (S_OK, the count kept); anything else E_FAIL. The count is cleared for every failure.
inline constexpr HRESULT kKsNotReady = static_cast<HRESULT>(0x80070015L);  // HRESULT_FROM_WIN32(ERROR_NOT_READY)
bool KsIsUnsupportedError(DWORD error);
HRESULT KsPropertyError(DWORD error, ULONG outSize, DWORD* count);

class CKsIrpTarget {
public:
    CKsIrpTarget();
    virtual ~CKsIrpTarget();
    CKsIrpTarget(const CKsIrpTarget&) = delete;
    CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

    HANDLE GetHandle();
    static BOOL IsValidHandle(HANDLE handle);
    // Closes a valid handle and leaves the variable at INVALID_HANDLE_VALUE; TRUE for an invalid one.
    static BOOL SafeCloseHandle(HANDLE& handle);

    // One IOCTL_KS_PROPERTY on handle, waited for. bytesReturned may be null.
    HRESULT SyncIoctl(HANDLE handle, void* in, ULONG inSize, void* out, ULONG outSize, ULONG* bytesReturned);
    HRESULT GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra = nullptr,
                              ULONG extraSize = 0);
    HRESULT SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, const void* extra = nullptr,
                              ULONG extraSize = 0);
    // A variable-size value: the block is allocated here and belongs to the caller (KsFreeBlock).
    // cbBlock, when given, receives how many bytes of the block hold the driver's answer.
    HRESULT GetPropertyMulti(const GUID& set, ULONG id, void** buffer, ULONG* cbBlock = nullptr);

    LONG LockDepth() const { return m_lock.Depth(); }

protected:
    HRESULT PropertyRequest(const char* enter, const char* leave, ULONG flags, const GUID& set, ULONG id,
                            void* value, ULONG valueSize, const void* extra, ULONG extraSize);

    HANDLE m_hEvent;
    CCountedLock m_lock;
    HANDLE m_handle;
};

// The bytes of a variable-size answer that can be read: the bytes the driver returned, bounded by the
// block; a pended answer reports no count, and the (zero-filled) block bounds it then.
inline ULONG KsAnswerBytes(ULONG returned, ULONG cbBlock) { return returned && returned < cbBlock ? returned : cbBlock; }
