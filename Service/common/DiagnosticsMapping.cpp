#include "Service/common/DiagnosticsMapping.h"

#include "Service/common/SharedMemory.h"

namespace {

constexpr std::size_t kHeaderBytes = 2 * sizeof(std::uint32_t);  // size and version

}  // namespace

CDiagnosticsMapping CDiagnosticsMapping::Create(const char* name) {
    CDiagnosticsMapping block;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kSddlUsersRead, SDDL_REVISION_1, &descriptor, nullptr))
        descriptor = nullptr;  // default security: only the service and administrators reach the block
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(sizeof(DiagnosticsRecord)), name);
    if (descriptor) LocalFree(descriptor);
    if (!mapping) return block;
    block.m_hMapping = mapping;
    // An existing block (a reader kept it across a new supervisor) is at least as large: this build made it.
    block.m_pView = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(DiagnosticsRecord));
    if (block.m_pView) {
        block.m_Bytes = sizeof(DiagnosticsRecord);
        block.m_bWritable = true;
    }
    return block;
}

CDiagnosticsMapping CDiagnosticsMapping::Open(const char* name) {
    CDiagnosticsMapping block;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (!mapping) return block;
    block.m_hMapping = mapping;
    block.m_pView = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(DiagnosticsRecord));
    if (block.m_pView) {
        block.m_Bytes = sizeof(DiagnosticsRecord);
    } else if ((block.m_pView = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, kHeaderBytes)) != nullptr) {
        block.m_Bytes = kHeaderBytes;  // a smaller block than this build's record: its header only
    }
    return block;
}

void CDiagnosticsMapping::Close() {
    if (m_pView) {
        UnmapViewOfFile(m_pView);
        m_pView = nullptr;
    }
    if (m_hMapping != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hMapping);
        m_hMapping = INVALID_HANDLE_VALUE;
    }
    m_Bytes = 0;
    m_bWritable = false;
}
