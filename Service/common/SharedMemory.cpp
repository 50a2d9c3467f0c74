#include "Service/common/SharedMemory.h"

CSharedMemory::CSharedMemory(SharedMemorySide side, const char* name, DWORD access)
    : m_hMapping(INVALID_HANDLE_VALUE), m_pView(nullptr) {
    if (side == SharedMemorySide::Create)
        Create(name, access);
    else
        Open(name, access);
}

CSharedMemory::~CSharedMemory() {
    if (m_pView) {
        UnmapViewOfFile(m_pView);
        m_pView = nullptr;
    }
    if (m_hMapping != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hMapping);
        m_hMapping = INVALID_HANDLE_VALUE;
    }
}

void CSharedMemory::Create(const char* name, DWORD access) {
    const bool writable = (access & kAccessGenericWrite) != 0;
    const char* sddl = (access & kAccessGenericAll) ? kSddlUsersReadWrite : kSddlUsersRead;

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        descriptor = nullptr;  // default security
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = TRUE;

    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, writable ? PAGE_READWRITE : PAGE_READONLY,
                                        0, kSharedBlockSize, name);
    if (descriptor) LocalFree(descriptor);
    if (!mapping) return;
    m_hMapping = mapping;
    m_pView = static_cast<QuillonSharedBlock*>(
        MapViewOfFile(m_hMapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, kSharedBlockSize));
}

void CSharedMemory::Open(const char* name, DWORD access) {
    const DWORD mapAccess = (access & kAccessGenericWrite) ? FILE_MAP_WRITE : FILE_MAP_READ;
    HANDLE mapping = OpenFileMappingA(mapAccess, FALSE, name);
    if (!mapping) return;
    m_hMapping = mapping;
    m_pView = static_cast<QuillonSharedBlock*>(MapViewOfFile(m_hMapping, mapAccess, 0, 0, kSharedBlockSize));
}
