// Modules, their exports and resources; the multimedia class scheduler calls Avrt.dll exports.
#include "platform/sim/include/sim/modules.h"

#include <cstring>

#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {

struct Modules::Module {
    struct Resource {
        WORD type;
        WORD id;
        bool present;
        std::vector<BYTE> bytes;
    };
    ULONG_PTR base = 0;
    std::string name;
    std::string key;  // lower case, for lookups
    bool library = false;
    bool resident = false;  // a library the programs import statically: usable without LoadLibrary
    bool removed = false;
    int loadCount = 0;
    std::vector<std::pair<std::string, FARPROC>> exports;
    std::set<std::string> removedExports;
    std::vector<Resource> resources;  // HRSRC = base + kResourceBase + index * 16
    std::vector<std::vector<BYTE>> retired;  // replaced resource data: pointers to it stay readable
};

namespace {

constexpr ULONG_PTR kResourceBase = 0x1000;
constexpr ULONG_PTR kModuleSpan = 0x100000;
constexpr WORD kVersionType = 16;  // RT_VERSION
constexpr WORD kVersionId = 1;

template <class F>
FARPROC Proc(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// "C:\Windows\System32\AVRT" -> "avrt.dll"
std::string LibraryKey(const std::string& name) {
    std::string base = name.substr(name.find_last_of("\\/") + 1);
    if (base.find('.') == std::string::npos) base += ".dll";
    return Lower(base);
}

// An integer resource id, also in its "#16" string form; 0 when it is a name.
WORD ResourceId(LPCWSTR id) {
    if (IS_INTRESOURCE(id)) return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
    if (id[0] != u'#') return 0;
    unsigned value = 0;
    for (LPCWSTR p = id + 1; *p; ++p) {
        if (*p < u'0' || *p > u'9') return 0;
        value = value * 10 + static_cast<unsigned>(*p - u'0');
        if (value > 0xFFFF) return 0;
    }
    return static_cast<WORD>(value);
}

void PutWord(std::vector<BYTE>& out, std::size_t at, WORD value) { std::memcpy(out.data() + at, &value, 2); }
WORD GetWord(const BYTE* p) {
    WORD value;
    std::memcpy(&value, p, 2);
    return value;
}

const char16_t kVersionKey[] = u"VS_VERSION_INFO";
constexpr std::size_t kVersionKeyBytes = sizeof(kVersionKey);            // with its terminator: 32
constexpr std::size_t kVersionValueOffset = (6 + kVersionKeyBytes + 3) & ~std::size_t{3};  // 40

}  // namespace

std::vector<BYTE> Modules::BuildVersionResource(const WORD v[4]) {
    VS_FIXEDFILEINFO info{};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = VS_FFI_STRUCVERSION;
    info.dwFileVersionMS = info.dwProductVersionMS = (static_cast<DWORD>(v[0]) << 16) | v[1];
    info.dwFileVersionLS = info.dwProductVersionLS = (static_cast<DWORD>(v[2]) << 16) | v[3];
    info.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    info.dwFileOS = VOS_NT_WINDOWS32;
    info.dwFileType = VFT_APP;
    std::vector<BYTE> blob(kVersionValueOffset + sizeof info, 0);
    PutWord(blob, 0, static_cast<WORD>(blob.size()));  // wLength
    PutWord(blob, 2, sizeof info);                     // wValueLength
    PutWord(blob, 4, 0);                               // wType: binary
    std::memcpy(blob.data() + 6, kVersionKey, kVersionKeyBytes);
    std::memcpy(blob.data() + kVersionValueOffset, &info, sizeof info);
    return blob;
}

Modules::Modules(Machine& machine) : machine_(machine) {
    auto add = [this](const char* name, bool resident, std::vector<std::pair<std::string, FARPROC>> exports) {
        auto m = std::make_unique<Module>();
        m->base = nextBase_;
        nextBase_ += kModuleSpan;
        m->name = name;
        m->key = LibraryKey(name);
        m->library = true;
        m->resident = resident;
        m->exports = std::move(exports);
        modules_.push_back(std::move(m));
    };
    add("Avrt.dll", true,
        {{"AvSetMmThreadCharacteristicsA", Proc(&AvSetMmThreadCharacteristicsA)},
         {"AvSetMmThreadCharacteristicsW", Proc(&AvSetMmThreadCharacteristicsW)},
         {"AvRevertMmThreadCharacteristics", Proc(&AvRevertMmThreadCharacteristics)},
         {"AvSetMmThreadPriority", Proc(&AvSetMmThreadPriority)}});
    add("ksuser.dll", false, {{"KsCreatePin", Proc(&KsCreatePin)}, {"KsCreatePin2", Proc(&KsCreatePin2)}});
}

Modules::~Modules() = default;

Modules::Module* Modules::ByHandleLocked(HMODULE handle) {
    const auto base = reinterpret_cast<ULONG_PTR>(handle);
    for (auto& m : modules_)
        if (m->base == base) return m.get();
    return nullptr;
}

Modules::Module* Modules::LibraryLocked(const std::string& name) {
    const std::string key = LibraryKey(name);
    for (auto& m : modules_)
        if (m->library && m->key == key) return m.get();
    return nullptr;
}

HMODULE Modules::CurrentImageLocked(Process* process) {
    if (!process || !ByHandleLocked(process->image)) return nullptr;
    return process->image;
}

// ---- test side ----

HMODULE Modules::AddImage(const std::string& name, const WORD version[4], bool hasVersionResource) {
    std::lock_guard lock(machine_.Mutex());
    auto m = std::make_unique<Module>();
    m->base = nextBase_;
    nextBase_ += kModuleSpan;
    m->name = name;
    m->key = Lower(name);
    m->resources.push_back({kVersionType, kVersionId, hasVersionResource, BuildVersionResource(version)});
    const auto handle = reinterpret_cast<HMODULE>(m->base);
    modules_.push_back(std::move(m));
    return handle;
}

void Modules::RemoveImage(HMODULE image) {
    std::unique_ptr<Module> doomed;
    std::lock_guard lock(machine_.Mutex());
    for (auto it = modules_.begin(); it != modules_.end(); ++it) {
        if ((*it)->base == reinterpret_cast<ULONG_PTR>(image) && !(*it)->library) {
            doomed = std::move(*it);
            modules_.erase(it);
            return;
        }
    }
}

HMODULE Modules::Image(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    const std::string key = Lower(name);
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it)
        if (!(*it)->library && (*it)->key == key) return reinterpret_cast<HMODULE>((*it)->base);
    return nullptr;
}

bool Modules::SetVersionResource(HMODULE image, std::vector<BYTE> bytes) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = ByHandleLocked(image);
    if (!m || m->library) return false;
    for (auto& r : m->resources) {
        if (r.type != kVersionType || r.id != kVersionId) continue;
        m->retired.push_back(std::move(r.bytes));
        r.present = !bytes.empty();
        r.bytes = std::move(bytes);
        return true;
    }
    return false;
}

bool Modules::RemoveLibrary(const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = LibraryLocked(name);
    if (!m) return false;
    m->removed = true;
    return true;
}

bool Modules::RemoveExport(const std::string& library, const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = LibraryLocked(library);
    if (!m) return false;
    for (auto& [exportName, proc] : m->exports) {
        if (exportName == name) {
            m->removedExports.insert(name);
            return true;
        }
    }
    return false;
}

void Modules::RestoreAll() {
    std::lock_guard lock(machine_.Mutex());
    for (auto& m : modules_) {
        m->removed = false;
        m->removedExports.clear();
    }
}

int Modules::LoadCount(const std::string& library) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = LibraryLocked(library);
    return m ? m->loadCount : 0;
}

// ---- Win32 side ----

HMODULE Modules::Load(LPCWSTR name) {
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard lock(machine_.Mutex());
    Module* m = LibraryLocked(Narrow(name));
    if (!m || m->removed) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++m->loadCount;
    return reinterpret_cast<HMODULE>(m->base);
}

BOOL Modules::Free(HMODULE module) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = ByHandleLocked(module);
    if (!m || !m->library || m->loadCount == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --m->loadCount;
    return TRUE;
}

FARPROC Modules::ProcAddress(HMODULE module, LPCSTR name) {
    std::lock_guard lock(machine_.Mutex());
    Module* m = ByHandleLocked(module);
    const bool usable = m && (!m->library || m->loadCount > 0 || (m->resident && !m->removed));
    if (!usable) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!name || IS_INTRESOURCE(name)) {  // ordinals: none are simulated
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    for (auto& [exportName, proc] : m->exports)
        if (exportName == name && !m->removedExports.count(exportName)) return proc;
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HMODULE Modules::Handle(LPCWSTR name) {
    auto process = machine_.CurrentProcess();
    std::lock_guard lock(machine_.Mutex());
    if (!name) {
        if (HMODULE image = CurrentImageLocked(process.get())) return image;
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::string key = LibraryKey(Narrow(name));
    if (HMODULE image = CurrentImageLocked(process.get()); image && ByHandleLocked(image)->key == key) return image;
    for (auto& m : modules_) {
        if (m->key != key) continue;
        if (!m->library || (!m->removed && (m->resident || m->loadCount > 0)))
            return reinterpret_cast<HMODULE>(m->base);
    }
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HRSRC Modules::FindResource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    auto process = machine_.CurrentProcess();
    std::lock_guard lock(machine_.Mutex());
    if (!module) module = CurrentImageLocked(process.get());
    Module* m = ByHandleLocked(module);
    if (!m) {
        SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    if (!name || !type) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const WORD typeId = ResourceId(type), nameId = ResourceId(name);
    bool typeFound = false;
    for (std::size_t i = 0; i < m->resources.size(); ++i) {
        const auto& r = m->resources[i];
        if (!r.present || r.type != typeId) continue;
        typeFound = true;
        if (r.id == nameId) return reinterpret_cast<HRSRC>(m->base + kResourceBase + i * 16);
    }
    SetError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

namespace {
// The resource an HRSRC names, when it belongs to `m` and is still present.
Modules::Module::Resource* ResourceOf(Modules::Module* m, HRSRC resource) {
    const auto value = reinterpret_cast<ULONG_PTR>(resource);
    if (!m || value < m->base + kResourceBase || (value - m->base - kResourceBase) % 16) return nullptr;
    const std::size_t index = (value - m->base - kResourceBase) / 16;
    if (index >= m->resources.size() || !m->resources[index].present) return nullptr;
    return &m->resources[index];
}
}  // namespace

std::size_t Modules::KnownBlockSize(LPCVOID block) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& m : modules_) {
        for (auto& r : m->resources)
            if (r.bytes.data() == block) return r.bytes.size();
        for (auto& old : m->retired)
            if (old.data() == block) return old.size();
    }
    return 0;
}

HGLOBAL Modules::LoadResource(HMODULE module, HRSRC resource) {
    auto process = machine_.CurrentProcess();
    std::lock_guard lock(machine_.Mutex());
    if (!module) module = CurrentImageLocked(process.get());
    auto* r = ResourceOf(ByHandleLocked(module), resource);
    if (!r) {
        SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return r->bytes.data();
}

DWORD Modules::SizeofResource(HMODULE module, HRSRC resource) {
    auto process = machine_.CurrentProcess();
    std::lock_guard lock(machine_.Mutex());
    if (!module) module = CurrentImageLocked(process.get());
    auto* r = ResourceOf(ByHandleLocked(module), resource);
    if (!r) {
        SetError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return static_cast<DWORD>(r->bytes.size());
}

}  // namespace sim

// ---- the Win32 functions ----

namespace {

sim::Machine& M() { return sim::Machine::Current(); }

bool Failing(const char* function) {
    DWORD err;
    if (!M().TakeFailure(function, &err)) return false;
    sim::SetError(err);
    return true;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (Failing("LoadLibraryW")) return nullptr;
    return M().Mods().Load(lpLibFileName);
}

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (Failing("LoadLibraryExW")) return nullptr;
    if (hFile || (dwFlags & ~DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32})) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return M().Mods().Load(lpLibFileName);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (Failing("FreeLibrary")) return FALSE;
    return M().Mods().Free(hLibModule);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (Failing("GetProcAddress")) return nullptr;
    return M().Mods().ProcAddress(hModule, lpProcName);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (Failing("GetModuleHandleW")) return nullptr;
    return M().Mods().Handle(lpModuleName);
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    if (Failing("FindResourceW")) return nullptr;
    return M().Mods().FindResource(hModule, lpName, lpType);
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    if (Failing("LoadResource")) return nullptr;
    return M().Mods().LoadResource(hModule, hResInfo);
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    if (Failing("SizeofResource")) return 0;
    return M().Mods().SizeofResource(hModule, hResInfo);
}

// Answers the root block ("\") of a VS_VERSIONINFO blob: its VS_FIXEDFILEINFO, whatever its contents,
// as long as the blob's own lengths and key hold together. Other sub-blocks are not simulated.
BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, UINT* puLen) {
    if (Failing("VerQueryValueW")) return FALSE;
    if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lstrcmpW(lpSubBlock, u"\\") != 0) {
        sim::SetError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    // A block that is one of the machine's resources is read only within its real size.
    const std::size_t known = M().Mods().KnownBlockSize(pBlock);
    const std::size_t limit = known ? known : SIZE_MAX;
    const auto* blob = static_cast<const BYTE*>(pBlock);
    const WORD length = limit >= 6 ? sim::GetWord(blob) : 0;
    const WORD valueLength = limit >= 6 ? sim::GetWord(blob + 2) : 0;
    if (length < sim::kVersionValueOffset || length > limit ||
        std::memcmp(blob + 6, sim::kVersionKey, sim::kVersionKeyBytes) != 0 ||
        valueLength < sizeof(VS_FIXEDFILEINFO) || sim::kVersionValueOffset + valueLength > length) {
        sim::SetError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *lplpBuffer = const_cast<BYTE*>(blob + sim::kVersionValueOffset);
    *puLen = valueLength;
    return TRUE;
}

// ---- multimedia class scheduler (Avrt.dll) ----

namespace {

// A thread's registration with a scheduler task, as AvSetMmThreadCharacteristics returns it.
class AvrtTask final : public sim::Object {
public:
    const char* TypeName() const override { return "AvrtTask"; }
    sim::ThreadRec* thread = nullptr;
    std::string task;
};

const char* const kTasks[] = {"Audio", "Capture", "Distribution", "Games", "Playback", "Pro Audio", "Window Manager"};

sim::ThreadRec* Self() {
    if (sim::ThreadRec* t = M().CurrentThread()) return t;
    M().CurrentProcess();  // registers a thread the machine did not start
    return M().CurrentThread();
}

std::atomic<DWORD> g_nextTaskIndex{1};

HANDLE JoinTask(const char* name, LPDWORD taskIndex) {
    if (!name || !taskIndex) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const char* task = nullptr;
    for (const char* known : kTasks)
        if (sim::Lower(known) == sim::Lower(name)) task = known;
    if (!task) {
        sim::SetError(ERROR_INVALID_TASK_NAME);
        return nullptr;
    }
    sim::ThreadRec* self = Self();
    auto object = std::make_shared<AvrtTask>();
    object->thread = self;
    object->task = task;
    {
        std::lock_guard lock(M().Mutex());
        self->mmcssTask = task;
        self->mmcssPriority = AVRT_PRIORITY_NORMAL;
        self->mmcssJoined = true;
        M().ApplyHostPriorityLocked(self);
    }
    if (*taskIndex == 0) *taskIndex = g_nextTaskIndex++;
    M().AddNote("mmcss", "thread " + std::to_string(self->id) + " joined \"" + task + "\"");
    return M().AddHandle(object);
}

}  // namespace

HANDLE AvSetMmThreadCharacteristicsA(LPCSTR TaskName, LPDWORD TaskIndex) {
    if (Failing("AvSetMmThreadCharacteristicsA")) return nullptr;
    return JoinTask(TaskName, TaskIndex);
}

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex) {
    if (Failing("AvSetMmThreadCharacteristicsW")) return nullptr;
    const std::string name = sim::Narrow(TaskName);
    return JoinTask(TaskName ? name.c_str() : nullptr, TaskIndex);
}

BOOL AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority) {
    if (Failing("AvSetMmThreadPriority")) return FALSE;
    auto task = M().LookupAs<AvrtTask>(AvrtHandle);
    if (!task) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (Priority < AVRT_PRIORITY_VERYLOW || Priority > AVRT_PRIORITY_CRITICAL) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(M().Mutex());
    task->thread->mmcssPriority = Priority;
    M().ApplyHostPriorityLocked(task->thread);
    return TRUE;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE AvrtHandle) {
    if (Failing("AvRevertMmThreadCharacteristics")) return FALSE;
    auto task = M().LookupAs<AvrtTask>(AvrtHandle);
    if (!task) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(M().Mutex());
        task->thread->mmcssTask.clear();
        task->thread->mmcssPriority = AVRT_PRIORITY_NORMAL;
        task->thread->mmcssJoined = false;
        M().ApplyHostPriorityLocked(task->thread);
    }
    M().CloseHandleValue(AvrtHandle);
    return TRUE;
}
