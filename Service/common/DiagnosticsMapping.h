// CDiagnosticsMapping: the diagnostics block's mapping and view, owned by one object and moved, never
// copied. The service creates the block (interactive users may read it, not write it) and maps it to
// write; a reader opens it and maps it to read. The view spans one record of this build's layout; a block
// too small for that (an older writer's) is mapped for its header alone, so a reader can say what it is.
#pragma once

#include <cstddef>

#include "Service/common/DiagnosticsBlock.h"
#include "platform/win32.h"

class CDiagnosticsMapping {
public:
    CDiagnosticsMapping() = default;
    ~CDiagnosticsMapping() { Close(); }
    CDiagnosticsMapping(CDiagnosticsMapping&& other) noexcept { Take(other); }
    CDiagnosticsMapping& operator=(CDiagnosticsMapping&& other) noexcept {
        if (this != &other) {
            Close();
            Take(other);
        }
        return *this;
    }
    CDiagnosticsMapping(const CDiagnosticsMapping&) = delete;
    CDiagnosticsMapping& operator=(const CDiagnosticsMapping&) = delete;

    // The service's side: creates the block, or opens it while another handle keeps it, and maps it to
    // write. Empty when either step fails.
    static CDiagnosticsMapping Create(const char* name);
    // A reader's side: opens the block and maps it to read. Empty when there is none (GetLastError tells).
    static CDiagnosticsMapping Open(const char* name);

    void Close();
    explicit operator bool() const { return m_pView != nullptr; }
    // The mapped bytes: sizeof(DiagnosticsRecord), or only the header's 8 when the block is smaller.
    const void* View() const { return m_pView; }
    std::size_t Bytes() const { return m_Bytes; }
    // The writable record (the creating side only; null otherwise).
    DiagnosticsRecord* Record() const { return m_bWritable ? static_cast<DiagnosticsRecord*>(m_pView) : nullptr; }

private:
    void Take(CDiagnosticsMapping& other) {
        m_hMapping = other.m_hMapping;
        m_pView = other.m_pView;
        m_Bytes = other.m_Bytes;
        m_bWritable = other.m_bWritable;
        other.m_hMapping = INVALID_HANDLE_VALUE;
        other.m_pView = nullptr;
        other.m_Bytes = 0;
        other.m_bWritable = false;
    }

    HANDLE m_hMapping = INVALID_HANDLE_VALUE;
    void* m_pView = nullptr;
    std::size_t m_Bytes = 0;
    bool m_bWritable = false;
};
