// CSharedMemory: one named 204-byte shared-memory block. The service creates the blocks (with a
// security descriptor that lets interactive users read the status block and write the command block);
// the tray opens them. Users read and write the view directly and test it for null first.
#pragma once

#include "Service/common/SharedBlock.h"
#include "platform/win32.h"

enum class SharedMemorySide {
    Create,  // the service: create the mapping, or open it when it still exists
    Open,    // the tray: open an existing mapping
};

class CSharedMemory {
public:
    virtual ~CSharedMemory();
    CSharedMemory(const CSharedMemory&) = delete;
    CSharedMemory& operator=(const CSharedMemory&) = delete;

    HANDLE m_hMapping;            // INVALID_HANDLE_VALUE when there is no mapping
    QuillonSharedBlock* m_pView;  // null when no view is mapped

protected:
    CSharedMemory(SharedMemorySide side, const char* name, DWORD access);

private:
    void Create(const char* name, DWORD access);
    void Open(const char* name, DWORD access);
};

// The status block in the service, the command block in the tray.
class CSharedMemoryWriter : public CSharedMemory {
public:
    CSharedMemoryWriter(SharedMemorySide side, const char* name, DWORD access) : CSharedMemory(side, name, access) {}
};

// The command block in the service: created so that interactive users may write it.
class CSharedMemoryGlobalWriter : public CSharedMemory {
public:
    CSharedMemoryGlobalWriter(const char* name, DWORD access)
        : CSharedMemory(SharedMemorySide::Create, name, access) {}
};

// The status block in the tray.
class CSharedMemoryReader : public CSharedMemory {
public:
    CSharedMemoryReader(const char* name, DWORD access) : CSharedMemory(SharedMemorySide::Open, name, access) {}
};

// Security descriptors, as SDDL: who may use the block the service creates.
inline constexpr const char kSddlUsersReadWrite[] = "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GWGR;;;IU)";
inline constexpr const char kSddlUsersRead[] = "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GR;;;IU)";
