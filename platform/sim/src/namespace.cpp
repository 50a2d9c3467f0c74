// Named file mappings, their views and the security descriptors they are created with.
#include "platform/sim/include/sim/namespace.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "platform/sim/include/simwin/api.h"

namespace sim {

struct Namespace::Section {
    ~Section() {
        if (testView) munmap(testView, mappedSize);
        if (fd >= 0) close(fd);
    }
    std::string name;
    int fd = -1;
    SIZE_T size = 0;
    std::size_t mappedSize = 0;  // size rounded up to whole pages
    DWORD protect = PAGE_READWRITE;
    std::string sddl;
    bool inheritable = false;
    bool createdByInteractiveUser = false;
    std::size_t views = 0;  // lock held
    void* testView = nullptr;
};

namespace {

constexpr unsigned kRead = Namespace::kRightRead;
constexpr unsigned kWrite = Namespace::kRightWrite;
constexpr std::size_t kPage = 4096;
constexpr ULONGLONG kGranularity = 65536;
constexpr std::uint32_t kDescriptorMagic = 0x4C444453;  // "SDDL"

struct DescriptorHeader {
    std::uint32_t magic;
    std::uint32_t length;  // of the text, without its terminator
};

// A handle to a mapping with the rights it was opened with.
class MappingObject final : public Object {
public:
    MappingObject(std::shared_ptr<Namespace::Section> s, unsigned r, bool i)
        : section(std::move(s)), rights(r), inheritable(i) {}
    const char* TypeName() const override { return "FileMapping"; }
    std::shared_ptr<Namespace::Section> section;
    unsigned rights;
    bool inheritable;
};

unsigned RightsOf(DWORD access) {
    unsigned rights = 0;
    if (access & (FILE_MAP_READ | GENERIC_READ | GENERIC_ALL)) rights |= kRead;
    if (access & (FILE_MAP_WRITE | GENERIC_WRITE | GENERIC_ALL)) rights |= kWrite;
    return rights;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// ---- SDDL ----

struct SddlPart {
    char tag;            // 'O', 'G', 'D' or 'S'
    std::string value;   // owner or group SID; DACL or SACL flags
    std::vector<std::vector<std::string>> aces;  // fields of each ACE
};

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsTagAt(const std::string& s, std::size_t i) {
    return i + 1 < s.size() && (s[i] == 'O' || s[i] == 'G' || s[i] == 'D' || s[i] == 'S') && s[i + 1] == ':';
}

bool ValidSid(const std::string& sid) {
    if (sid.size() == 2) return IsUpper(sid[0]) && IsUpper(sid[1]);
    if (!StartsWith(sid, "S-1-") || sid.size() < 5) return false;
    for (char c : sid.substr(4))
        if (!((c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

bool ValidRights(const std::string& rights) {
    if (rights.empty()) return false;
    if (StartsWith(rights, "0x") || StartsWith(rights, "0X")) {
        if (rights.size() == 2 || rights.size() > 10) return false;  // an access mask has 32 bits
        for (char c : rights.substr(2))
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        return true;
    }
    if (rights.size() % 2) return false;
    for (char c : rights)
        if (!IsUpper(c)) return false;
    return true;
}

bool ValidAce(const std::vector<std::string>& f) {
    static const char* const kTypes[] = {"A", "D", "OA", "OD", "AU", "AL", "OU", "OL", "ML", "SP", "XA", "XD", "XU", "ZA", "RA"};
    if (f.size() != 6) return false;
    bool known = false;
    for (const char* t : kTypes) known = known || f[0] == t;
    return known && ValidRights(f[2]) && ValidSid(f[5]);
}

// Parses the SDDL forms the programs use; false on anything malformed.
bool ParseSddl(const std::string& s, std::vector<SddlPart>* parts) {
    std::size_t i = 0;
    if (s.empty()) return false;
    while (i < s.size()) {
        if (!IsTagAt(s, i)) return false;
        SddlPart part{s[i], {}, {}};
        i += 2;
        if (part.tag == 'O' || part.tag == 'G') {
            const std::size_t start = i;
            if (s.compare(i, 4, "S-1-") == 0) {
                i += 4;
                while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '-')) ++i;
            } else {
                i += 2;
            }
            part.value = s.substr(start, i - start);
            if (i > s.size() || !ValidSid(part.value)) return false;
        } else {
            while (i < s.size() && s[i] != '(' && !IsTagAt(s, i)) {
                if (!IsUpper(s[i]) && s[i] != '_') return false;
                part.value += s[i++];
            }
            while (i < s.size() && s[i] == '(') {
                const std::size_t close = s.find(')', i);
                if (close == std::string::npos) return false;
                const std::string body = s.substr(i + 1, close - i - 1);
                if (body.find('(') != std::string::npos) return false;
                std::vector<std::string> fields;
                fields.reserve(6);  // an ACE's six fields
                fields.emplace_back();
                for (char c : body) {
                    if (c == ';')
                        fields.emplace_back();
                    else
                        fields.back() += c;
                }
                if (!ValidAce(fields)) return false;
                part.aces.push_back(std::move(fields));
                i = close + 1;
            }
        }
        parts->push_back(std::move(part));
    }
    return true;
}

unsigned SectionRights(const std::string& rights) {
    if (StartsWith(rights, "0x") || StartsWith(rights, "0X")) {
        return RightsOf(static_cast<DWORD>(std::stoul(rights.substr(2), nullptr, 16)));
    }
    unsigned out = 0;
    for (std::size_t i = 0; i + 1 < rights.size(); i += 2) {
        const std::string token = rights.substr(i, 2);
        if (token == "GA" || token == "FA") out |= kRead | kWrite;
        if (token == "GR" || token == "FR") out |= kRead;
        if (token == "GW" || token == "FW") out |= kWrite;
    }
    return out;
}

bool AppliesToInteractiveUser(const std::string& sid) {
    return sid == "IU" || sid == "AU" || sid == "BU" || sid == "WD" || sid == "S-1-5-4" || sid == "S-1-5-11" ||
           sid == "S-1-5-32-545" || sid == "S-1-1-0";
}

bool CallerInteractive(Machine& machine) {
    auto process = machine.CurrentProcess();
    return process && process->interactiveUser;
}

// What an interactive-user caller may do with a section; without a DACL only its creator may use it.
unsigned InteractiveAllowed(const Namespace::Section& s) {
    const unsigned owner = s.createdByInteractiveUser ? kRead | kWrite : 0u;
    if (s.sddl.empty()) return owner;
    return Namespace::InteractiveRights(s.sddl).value_or(owner);
}

std::string ProtectText(DWORD protect) { return protect == PAGE_READONLY ? "PAGE_READONLY" : "PAGE_READWRITE"; }

}  // namespace

bool Namespace::ValidSddl(const std::string& sddl) {
    std::vector<SddlPart> parts;
    return ParseSddl(sddl, &parts);
}

std::optional<unsigned> Namespace::InteractiveRights(const std::string& sddl) {
    std::vector<SddlPart> parts;
    if (!ParseSddl(sddl, &parts)) return std::nullopt;
    for (const SddlPart& part : parts) {
        if (part.tag != 'D') continue;
        if (part.value.find("NO_ACCESS_CONTROL") != std::string::npos) return kRead | kWrite;
        // ACEs in order: the first ACE that speaks about a right decides it.
        unsigned granted = 0, denied = 0;
        for (const auto& ace : part.aces) {
            if (!AppliesToInteractiveUser(ace[5])) continue;
            const unsigned rights = SectionRights(ace[2]);
            if (ace[0] == "A") granted |= rights & ~denied;
            if (ace[0] == "D") denied |= rights & ~granted;
        }
        return granted;
    }
    return std::nullopt;
}

PSECURITY_DESCRIPTOR Namespace::MakeDescriptor(const std::string& sddl, ULONG* size) {
    const std::size_t bytes = sizeof(DescriptorHeader) + sddl.size() + 1;
    auto* block = static_cast<BYTE*>(LocalAlloc(LPTR, bytes));
    if (!block) return nullptr;
    const DescriptorHeader header{kDescriptorMagic, static_cast<std::uint32_t>(sddl.size())};
    std::memcpy(block, &header, sizeof header);
    std::memcpy(block + sizeof header, sddl.c_str(), sddl.size() + 1);
    if (size) *size = static_cast<ULONG>(bytes);
    return block;
}

bool Namespace::DescriptorSddl(PSECURITY_DESCRIPTOR descriptor, std::string* sddl) {
    if (!descriptor) return false;
    DescriptorHeader header;
    std::memcpy(&header, descriptor, sizeof header);
    if (header.magic != kDescriptorMagic) return false;
    sddl->assign(static_cast<const char*>(descriptor) + sizeof header, header.length);
    return true;
}

// ---- the namespace ----

Namespace::Namespace(Machine& machine) : machine_(machine) {}

Namespace::~Namespace() {
    // Views the programs never unmapped; the sections themselves go with their last handle.
    for (auto& [address, view] : views_) munmap(const_cast<void*>(address), view.length);
}

std::weak_ptr<Namespace::Section>* Namespace::SlotLocked(const std::string& name, bool interactive) {
    if (StartsWith(name, "Global\\")) return &global_[name.substr(7)];
    const std::string bare = StartsWith(name, "Local\\") ? name.substr(6) : name;
    return interactive ? &session1_[bare] : &global_[bare];
}

std::shared_ptr<Namespace::Section> Namespace::FindLocked(const std::string& name, bool interactive) {
    return SlotLocked(name, interactive)->lock();
}

bool Namespace::MappingExists(const std::string& name) { return Mapping(name).has_value(); }

std::optional<std::string> Namespace::MappingSddl(const std::string& name) {
    auto info = Mapping(name);
    if (!info) return std::nullopt;
    return info->sddl;
}

std::optional<MappingInfo> Namespace::Mapping(const std::string& name) {
    const bool interactive = CallerInteractive(machine_);
    std::lock_guard lock(machine_.Mutex());
    auto s = FindLocked(name, interactive);
    if (!s) return std::nullopt;
    return MappingInfo{s->name, s->size, s->protect, s->sddl, s->inheritable, s->createdByInteractiveUser, s->views};
}

BYTE* Namespace::MappingView(const std::string& name) {
    const bool interactive = CallerInteractive(machine_);
    std::lock_guard lock(machine_.Mutex());
    auto s = FindLocked(name, interactive);
    if (!s) return nullptr;
    if (!s->testView) {
        void* p = mmap(nullptr, s->mappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
        if (p == MAP_FAILED) return nullptr;
        s->testView = p;
    }
    return static_cast<BYTE*>(s->testView);
}

std::size_t Namespace::LiveMappingCount() {
    std::lock_guard lock(machine_.Mutex());
    std::erase_if(all_, [](const std::weak_ptr<Section>& s) { return s.expired(); });
    return all_.size();
}

std::size_t Namespace::LiveViewCount() {
    std::lock_guard lock(machine_.Mutex());
    return views_.size();
}

std::optional<bool> Namespace::HandleInheritable(HANDLE handle) {
    auto object = machine_.LookupAs<MappingObject>(handle);
    if (!object) return std::nullopt;
    return object->inheritable;
}

HANDLE Namespace::Create(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, ULONGLONG size, LPCSTR name) {
    if (file != INVALID_HANDLE_VALUE) {  // only page-file-backed sections are simulated
        SetError(file ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const DWORD pageProtect = protect & 0xFF;
    if ((pageProtect != PAGE_READONLY && pageProtect != PAGE_READWRITE) || size == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto section = std::make_shared<Section>();
    if (attributes && attributes->lpSecurityDescriptor &&
        !DescriptorSddl(attributes->lpSecurityDescriptor, &section->sddl)) {
        SetError(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    const bool inheritable = attributes && attributes->bInheritHandle;
    const bool interactive = CallerInteractive(machine_);
    section->name = name ? name : "";
    section->size = static_cast<SIZE_T>(size);
    section->mappedSize = static_cast<std::size_t>((size + kPage - 1) / kPage * kPage);
    section->protect = pageProtect;
    section->inheritable = inheritable;
    section->createdByInteractiveUser = interactive;

    std::shared_ptr<Section> existing;
    {
        std::lock_guard lock(machine_.Mutex());
        if (name) {
            existing = FindLocked(name, interactive);
            if (existing) {
                // Opening through CreateFileMapping asks for full access.
                if (interactive && InteractiveAllowed(*existing) != (kRead | kWrite)) {
                    SetError(ERROR_ACCESS_DENIED);
                    return nullptr;
                }
            } else if (interactive && StartsWith(name, "Global\\")) {
                SetError(ERROR_ACCESS_DENIED);  // creating global objects needs SeCreateGlobalPrivilege
                return nullptr;
            }
        }
    }
    if (existing) {
        HANDLE h = machine_.AddHandle(std::make_shared<MappingObject>(existing, kRead | kWrite, inheritable));
        SetError(ERROR_ALREADY_EXISTS);
        return h;
    }

    section->fd = memfd_create("sim-file-mapping", MFD_CLOEXEC);
    if (section->fd < 0 || ftruncate(section->fd, static_cast<off_t>(section->mappedSize)) != 0) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::lock_guard lock(machine_.Mutex());
        if (name) {
            auto* slot = SlotLocked(name, interactive);
            if (auto raced = slot->lock()) {  // created by another thread meanwhile
                existing = raced;
            } else {
                *slot = section;
            }
        }
        if (!existing) all_.push_back(section);
    }
    if (existing) {
        HANDLE h = machine_.AddHandle(std::make_shared<MappingObject>(existing, kRead | kWrite, inheritable));
        SetError(ERROR_ALREADY_EXISTS);
        return h;
    }
    if (name)
        machine_.AddNote("mapping", "created " + section->name + " (" + std::to_string(section->size) + " bytes, " +
                                        ProtectText(pageProtect) + ", " +
                                        (section->sddl.empty() ? "default security" : section->sddl) + ")");
    HANDLE h = machine_.AddHandle(std::make_shared<MappingObject>(section, kRead | kWrite, inheritable));
    SetError(ERROR_SUCCESS);
    return h;
}

HANDLE Namespace::Open(DWORD access, BOOL inherit, LPCSTR name) {
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool interactive = CallerInteractive(machine_);
    const unsigned wanted = RightsOf(access);
    std::shared_ptr<Section> section;
    {
        std::lock_guard lock(machine_.Mutex());
        section = FindLocked(name, interactive);
        if (!section) {
            SetError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (interactive) {
            if (wanted & ~InteractiveAllowed(*section)) {
                SetError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
        }
    }
    return machine_.AddHandle(std::make_shared<MappingObject>(section, wanted, inherit != FALSE));
}

LPVOID Namespace::Map(HANDLE mapping, DWORD access, ULONGLONG offset, SIZE_T bytes) {
    auto object = machine_.LookupAs<MappingObject>(mapping);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const bool write = access & FILE_MAP_WRITE;
    if (!(access & (FILE_MAP_READ | FILE_MAP_WRITE))) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Section& s = *object->section;
    if (!(object->rights & (write ? kWrite : kRead)) || (write && s.protect == PAGE_READONLY)) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (offset % kGranularity) {
        SetError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= s.size || bytes > s.size - offset) {
        SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const std::size_t length = bytes ? bytes : static_cast<std::size_t>(s.size - offset);
    void* p = mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, s.fd,
                   static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard lock(machine_.Mutex());
    views_[p] = View{object->section, length};
    ++s.views;
    return p;
}

BOOL Namespace::Unmap(LPCVOID address) {
    View view;
    {
        std::lock_guard lock(machine_.Mutex());
        auto it = views_.find(address);
        if (it == views_.end()) {
            SetError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = std::move(it->second);
        views_.erase(it);
        --view.section->views;
    }
    munmap(const_cast<void*>(address), view.length);
    return TRUE;
}

}  // namespace sim

// ---- the Win32 functions ----

namespace {

sim::Namespace& Names() { return sim::Machine::Current().Names(); }

bool Failing(const char* function) {
    DWORD err;
    if (!sim::Machine::Current().TakeFailure(function, &err)) return false;
    sim::SetError(err);
    return true;
}

}  // namespace

HANDLE CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
    if (Failing("CreateFileMappingA")) return nullptr;
    const ULONGLONG size = (static_cast<ULONGLONG>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    return Names().Create(hFile, lpFileMappingAttributes, flProtect, size, lpName);
}

HANDLE OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    if (Failing("OpenFileMappingA")) return nullptr;
    return Names().Open(dwDesiredAccess, bInheritHandle, lpName);
}

LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                     SIZE_T dwNumberOfBytesToMap) {
    if (Failing("MapViewOfFile")) return nullptr;
    const ULONGLONG offset = (static_cast<ULONGLONG>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    return Names().Map(hFileMappingObject, dwDesiredAccess, offset, dwNumberOfBytesToMap);
}

BOOL UnmapViewOfFile(LPCVOID lpBaseAddress) {
    if (Failing("UnmapViewOfFile")) return FALSE;
    return Names().Unmap(lpBaseAddress);
}

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
    if (Failing("ConvertStringSecurityDescriptorToSecurityDescriptorA")) return FALSE;
    if (!StringSecurityDescriptor || !SecurityDescriptor) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (StringSDRevision != SDDL_REVISION_1) {
        sim::SetError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (!sim::Namespace::ValidSddl(StringSecurityDescriptor)) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *SecurityDescriptor = sim::Namespace::MakeDescriptor(StringSecurityDescriptor, SecurityDescriptorSize);
    return *SecurityDescriptor ? TRUE : FALSE;
}
