// Named kernel objects of the simulated machine: page-file-backed file mappings.
//
// Names. "Global\X" lives in the global namespace; "X" and "Local\X" in the caller's session namespace.
// Programs started as interactive-user processes run in session 1; everything else (services, the test
// body) runs in session 0, whose session namespace is the global one, as on Windows. So a service's
// "Local\X" is the tray's "Global\X", and a tray's unprefixed "X" is private to session 1. Creating a
// new object under "Global\" from session 1 needs a privilege the logged-on user lacks: ERROR_ACCESS_DENIED
// (opening an existing one is allowed). Names are case-sensitive.
//
// Memory. Each mapping is a memfd; every view is its own mmap of it, so two views of one mapping have
// different addresses that alias the same bytes, and a FILE_MAP_READ view is really read-only (writing
// through it faults). A mapping lives while a handle or a view refers to it; its name goes with it.
//
// Security. ConvertStringSecurityDescriptorToSecurityDescriptorA returns a LocalAlloc block holding the
// SDDL text; CreateFileMappingA records that text on the mapping. An interactive-user caller gets only
// what the DACL grants IU, AU, BU or WD (a null DACL grants all); with default security only the
// interactive user who created the mapping may open it. Other callers run as LocalSystem: full access.
#pragma once
#include <optional>

#include "platform/sim/include/sim/machine.h"

namespace sim {

struct MappingInfo {
    std::string name;        // as given to CreateFileMappingA
    SIZE_T size = 0;
    DWORD protect = 0;       // PAGE_READONLY or PAGE_READWRITE
    std::string sddl;        // empty: default security
    bool inheritable = false;  // bInheritHandle of the creating call's SECURITY_ATTRIBUTES
    bool createdByInteractiveUser = false;
    std::size_t views = 0;
};

class Namespace {
public:
    explicit Namespace(Machine& machine);
    ~Namespace();

    // Test side. Names resolve as a Win32 call from the calling thread would resolve them.
    bool MappingExists(const std::string& name);
    std::optional<std::string> MappingSddl(const std::string& name);  // "" for default security
    std::optional<MappingInfo> Mapping(const std::string& name);
    // A writable view of the whole mapping for the test to read and write block contents; it does not
    // keep the mapping alive (valid while the mapping lives) and does not count as a view.
    BYTE* MappingView(const std::string& name);
    std::size_t LiveMappingCount();  // named and unnamed mappings still referenced
    std::size_t LiveViewCount();
    // Whether a mapping handle was created or opened inheritable; nullopt when not a mapping handle.
    std::optional<bool> HandleInheritable(HANDLE handle);

    // Win32 side.
    struct Section;
    HANDLE Create(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, ULONGLONG size, LPCSTR name);
    HANDLE Open(DWORD access, BOOL inherit, LPCSTR name);
    LPVOID Map(HANDLE mapping, DWORD access, ULONGLONG offset, SIZE_T bytes);
    BOOL Unmap(LPCVOID address);

    // Security descriptors in the simulated form: SDDL text in a LocalAlloc block.
    static bool ValidSddl(const std::string& sddl);
    static PSECURITY_DESCRIPTOR MakeDescriptor(const std::string& sddl, ULONG* size);
    static bool DescriptorSddl(PSECURITY_DESCRIPTOR descriptor, std::string* sddl);
    // Rights the DACL of `sddl` grants the interactive user on a section (kRightRead | kRightWrite);
    // nullopt when the text has no DACL (default security applies).
    static constexpr unsigned kRightRead = 1, kRightWrite = 2;
    static std::optional<unsigned> InteractiveRights(const std::string& sddl);

private:
    struct View {
        std::shared_ptr<Section> section;
        std::size_t length;
    };
    // Lock held.
    std::weak_ptr<Section>* SlotLocked(const std::string& name, bool interactive);
    std::shared_ptr<Section> FindLocked(const std::string& name, bool interactive);

    Machine& machine_;
    std::map<std::string, std::weak_ptr<Section>> global_;
    std::map<std::string, std::weak_ptr<Section>> session1_;
    std::vector<std::weak_ptr<Section>> all_;
    std::map<const void*, View> views_;
};

}  // namespace sim
