// The simulated registry and its Win32 entry points.
#include "platform/sim/include/sim/registry.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {

namespace {

// Orders names as their ASCII upper-cased bytes would sort, without making the upper-cased copy: a
// lookup by any spelling of a name finds the key, whatever spelling it was created with.
struct UpperLess {
    using is_transparent = void;
    static unsigned char Up(char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 32) : u;
    }
    bool operator()(std::string_view a, std::string_view b) const {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char x = Up(a[i]), y = Up(b[i]);
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

}  // namespace

// A key is itself the object behind the handles RegOpenKeyEx and RegCreateKeyEx return; each handle's
// entry in the machine's table carries the rights it was opened with.
struct Registry::Key final : Object {
    const char* TypeName() const override { return "RegKey"; }
    std::string name;       // as created
    std::string path;       // display path: "HKLM\SOFTWARE\Quillon"
    std::string lowerPath;  // for the access lists
    // Keyed by the name as created, ordered as its upper-cased form: the registry's own (case-insensitive)
    // enumeration order.
    using Children = std::map<std::string, std::shared_ptr<Key>, UpperLess>;
    Children children;
    std::vector<std::pair<std::string, RegValue>> values;  // creation order
    bool deleted = false;
    // RegEnumKeyEx walks a key by rising index: where the last call stopped, so the next one steps on
    // from there instead of counting from the first subkey. Valid until a subkey is added or removed.
    bool enumValid = false;
    std::size_t enumIndex = 0;
    Children::iterator enumAt;
};

struct Registry::Resolved {
    std::shared_ptr<Key> key;
    REGSAM access = 0;
};

namespace {

constexpr REGSAM kReadRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

bool IsPredefined(HKEY key) {
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= 0xFFFFFFFF80000000ULL && value <= 0xFFFFFFFF80000006ULL;
}

REGSAM Normalize(REGSAM sam) {
    sam &= ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
    if (sam & GENERIC_READ) sam |= KEY_READ;
    if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) sam |= KEY_ALL_ACCESS;
    return sam;
}

// The components of a key path as views of it; the usual handful kept in place, a deeper path on the heap.
class PathParts {
public:
    void push_back(std::string_view part) {
        if (size_ < kInline) {
            inline_[size_++] = part;
            return;
        }
        if (more_.empty()) more_.assign(inline_, inline_ + kInline);
        more_.push_back(part);
        ++size_;
    }
    const std::string_view* begin() const { return more_.empty() ? inline_ : more_.data(); }
    const std::string_view* end() const { return begin() + size_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::string_view& operator[](std::size_t i) const { return begin()[i]; }
    const std::string_view& back() const { return begin()[size_ - 1]; }

private:
    static constexpr std::size_t kInline = 16;
    std::string_view inline_[kInline];
    std::vector<std::string_view> more_;
    std::size_t size_ = 0;
};

// Splits a subkey argument of the Win32 calls into views of it. A leading backslash or an empty
// component (doubled backslashes) is refused as on Windows; a trailing backslash is tolerated.
LSTATUS SplitSubKey(const char* subKey, PathParts* parts) {
    if (!subKey || !*subKey) return ERROR_SUCCESS;
    if (subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    const char* start = subKey;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == 0) {
            if (p == start) {
                if (*p == 0) break;  // trailing backslash
                return ERROR_INVALID_PARAMETER;
            }
            parts->push_back({start, static_cast<std::size_t>(p - start)});
            if (*p == 0) break;
            start = p + 1;
        }
    }
    return ERROR_SUCCESS;
}

// Lenient split for the test-facing paths, into views of `path`.
PathParts SplitPath(std::string_view path) {
    PathParts parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            if (i > start) parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> BytesOf(const std::u16string& text) {
    std::vector<BYTE> bytes(text.size() * 2);
    if (!bytes.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

// UTF-8 (with embedded terminators, as in REG_MULTI_SZ) to UTF-16.
std::u16string WideAll(const std::string& text) {
    std::u16string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        out += Wide(text.substr(start, end - start));
        if (end == text.size()) break;
        out += u'\0';
        start = end + 1;
    }
    return out;
}

// A string value's text up to its terminator, in UTF-8.
std::string StringBefore(const std::vector<BYTE>& bytes) {
    const std::size_t size = Utf16TextBytes(bytes.data(), bytes.size());
    std::string out(NarrowBytesTo(bytes.data(), size, nullptr, 0), '\0');
    NarrowBytesTo(bytes.data(), size, out.data(), out.size());
    return out;
}

const char* TypeText(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "REG_?";
    }
}

// How a note shows a value, appended to `out`.
void AppendValueText(std::string& out, const RegValue& v) {
    if (v.type == REG_DWORD && v.bytes.size() == 4) {
        DWORD d;
        std::memcpy(&d, v.bytes.data(), 4);
        out += std::to_string(d);
    } else if (v.type == REG_QWORD && v.bytes.size() == 8) {
        ULONGLONG q;
        std::memcpy(&q, v.bytes.data(), 8);
        out += std::to_string(q);
    } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
        (out += '"') += StringBefore(v.bytes);
        out += '"';
    } else {
        ((out += '<') += std::to_string(v.bytes.size())) += " bytes>";
    }
}

RegValue* FindValue(Registry::Key& key, std::string_view name) {
    for (auto& [n, v] : key.values)
        if (SameName(n, name)) return &v;
    return nullptr;
}

void MarkDeleted(Registry::Key& key) {
    key.deleted = true;
    for (auto& [n, child] : key.children) MarkDeleted(*child);
}

}  // namespace

Registry::Registry(Machine& machine) : machine_(machine) {
    hklm_ = std::make_shared<Key>();
    hklm_->name = hklm_->path = "HKLM";
    hklm_->lowerPath = "hklm";
    hkcu_ = std::make_shared<Key>();
    hkcu_->name = hkcu_->path = "HKCU";
    hkcu_->lowerPath = "hkcu";
}

Registry::~Registry() = default;

// ---- tree helpers (lock held) ----

std::shared_ptr<Registry::Key> Registry::RootFor(std::string_view path, std::string_view* rest) {
    const std::size_t slash = path.find('\\');
    const std::string_view first = path.substr(0, slash);
    const std::string_view after = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (SameName(first, "hklm") || SameName(first, "hkey_local_machine")) {
        *rest = after;
        return hklm_;
    }
    if (SameName(first, "hkcu") || SameName(first, "hkey_current_user")) {
        *rest = after;
        return hkcu_;
    }
    *rest = path;
    return hklm_;
}

namespace {
// The child of that name (any spelling) as its parent holds it, or null: a walk down a path copies
// only the key it ends at.
const std::shared_ptr<Registry::Key>* ChildOf(const Registry::Key& key, std::string_view name) {
    auto it = key.children.find(name);
    return it == key.children.end() ? nullptr : &it->second;
}

std::shared_ptr<Registry::Key> AddChild(Registry::Key& key, std::string_view name) {
    auto child = std::make_shared<Registry::Key>();
    child->name = name;
    child->path = key.path + "\\" + child->name;
    child->lowerPath = Lower(child->path);
    key.children.emplace(child->name, child);  // the map orders and compares names case-insensitively
    key.enumValid = false;
    return child;
}
}  // namespace

std::shared_ptr<Registry::Key> Registry::FindLocked(std::string_view path) {
    std::string_view rest;
    const std::shared_ptr<Key> root = RootFor(path, &rest);
    const std::shared_ptr<Key>* key = &root;
    for (const std::string_view part : SplitPath(rest)) {
        key = ChildOf(**key, part);
        if (!key) return nullptr;
    }
    return *key;
}

std::shared_ptr<Registry::Key> Registry::CreateLocked(const std::string& path) {
    std::string_view rest;
    std::shared_ptr<Key> key = RootFor(path, &rest);
    for (const std::string_view part : SplitPath(rest)) {
        const std::shared_ptr<Key>* child = ChildOf(*key, part);
        key = child ? *child : AddChild(*key, part);
    }
    return key;
}

bool Registry::DeniedPathLocked(const std::set<std::string>& denied, const std::string& lowerPath) const {
    for (const std::string& d : denied)
        if (lowerPath == d || (lowerPath.size() > d.size() && lowerPath.compare(0, d.size(), d) == 0 &&
                               lowerPath[d.size()] == '\\'))
            return true;
    return false;
}

bool Registry::DeniedLocked(const std::set<std::string>& denied, const Key& key) const {
    return DeniedPathLocked(denied, key.lowerPath);
}

LSTATUS Registry::ResolveLocked(HKEY handle, Resolved* out) {
    if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
        out->key = handle == HKEY_LOCAL_MACHINE ? hklm_ : hkcu_;
        out->access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (IsPredefined(handle)) return ERROR_INVALID_HANDLE;
    DWORD access = 0;
    auto key = std::dynamic_pointer_cast<Key>(
        machine_.LookupIn(machine_.CurrentProcessRaw(), reinterpret_cast<HANDLE>(handle), &access));
    if (!key) return ERROR_INVALID_HANDLE;
    if (key->deleted) return ERROR_KEY_DELETED;
    out->key = std::move(key);
    out->access = access;
    return ERROR_SUCCESS;
}

// ---- test side ----

void Registry::SetValue(const std::string& path, const std::string& name, DWORD type, std::vector<BYTE> bytes) {
    std::lock_guard lock(machine_.Mutex());
    auto key = CreateLocked(path);
    if (RegValue* v = FindValue(*key, name)) {
        *v = RegValue{type, std::move(bytes)};
        return;
    }
    key->values.emplace_back(name, RegValue{type, std::move(bytes)});
}

void Registry::SetDword(const std::string& path, const std::string& name, DWORD value) {
    std::vector<BYTE> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    SetValue(path, name, REG_DWORD, std::move(bytes));
}

void Registry::SetString(const std::string& path, const std::string& name, const std::string& utf8, DWORD type) {
    SetValue(path, name, type, std::move(StringValue(utf8, type).bytes));
}

void Registry::SetValues(const std::string& path, std::vector<std::pair<std::string, RegValue>> values) {
    std::lock_guard lock(machine_.Mutex());
    auto key = CreateLocked(path);
    for (auto& [name, value] : values) {
        if (RegValue* v = FindValue(*key, name))
            *v = std::move(value);
        else
            key->values.emplace_back(std::move(name), std::move(value));
    }
}

RegValue Registry::StringValue(const std::string& utf8, DWORD type) {
    // UTF-16 with its terminator, converted through a buffer of the usual size (a longer text takes a
    // string of its own) straight into the value's bytes.
    const std::size_t units = WideTo(utf8, nullptr, 0) + 1;
    char16_t local[256];
    std::u16string longer;
    char16_t* wide = local;
    if (units > std::size(local)) {
        longer.resize(units);
        wide = longer.data();
    }
    WideTo(utf8, wide, units);
    RegValue value{type, std::vector<BYTE>(units * sizeof(char16_t))};
    std::memcpy(value.bytes.data(), wide, value.bytes.size());
    return value;
}

const RegValue* Registry::FindValueLocked(std::string_view path, std::string_view name) {
    // Walked by reference: a lookup that only reads the value needs no counted reference to each key.
    std::string_view rest;
    Key* key = RootFor(path, &rest).get();
    for (const std::string_view part : SplitPath(rest)) {
        auto it = key->children.find(part);
        if (it == key->children.end()) return nullptr;
        key = it->second.get();
    }
    return FindValue(*key, name);
}

std::optional<RegValue> Registry::GetValue(std::string_view path, std::string_view name) {
    return ReadValue(path, name, [](const RegValue* v) { return v ? std::optional<RegValue>(*v) : std::nullopt; });
}

std::optional<DWORD> Registry::GetDword(std::string_view path, std::string_view name) {
    return ReadValue(path, name, [](const RegValue* v) -> std::optional<DWORD> {
        if (!v || v->type != REG_DWORD || v->bytes.size() != 4) return std::nullopt;
        DWORD d;
        std::memcpy(&d, v->bytes.data(), 4);
        return d;
    });
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) {
    return ReadValue(path, name, [](const RegValue* v) -> std::optional<std::string> {
        if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
        return StringBefore(v->bytes);
    });
}

bool Registry::KeyExists(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    return FindLocked(path) != nullptr;
}

void Registry::CreateKey(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    CreateLocked(path);
}

bool Registry::DeleteKey(const std::string& path) {
    std::shared_ptr<Key> doomed;  // released after the lock
    std::lock_guard lock(machine_.Mutex());
    std::string_view rest;
    std::shared_ptr<Key> parent = RootFor(path, &rest);
    const auto parts = SplitPath(rest);
    if (parts.empty()) return false;  // roots stay
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::shared_ptr<Key>* child = ChildOf(*parent, parts[i]);
        if (!child) return false;
        parent = *child;
    }
    auto it = parent->children.find(parts.back());
    if (it == parent->children.end()) return false;
    doomed = it->second;
    MarkDeleted(*doomed);
    parent->children.erase(it);
    parent->enumValid = false;
    return true;
}

bool Registry::DeleteValue(const std::string& path, const std::string& name) {
    std::lock_guard lock(machine_.Mutex());
    auto key = FindLocked(path);
    if (!key) return false;
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->first, name)) {
            key->values.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Registry::SubKeys(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    std::vector<std::string> out;
    if (auto key = FindLocked(path))
        for (auto& [upper, child] : key->children) out.push_back(child->name);
    return out;
}

std::vector<std::string> Registry::ValueNames(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    std::vector<std::string> out;
    if (auto key = FindLocked(path))
        for (auto& [name, value] : key->values) out.push_back(name);
    return out;
}

std::size_t Registry::ValueCount(std::string_view path) {
    std::lock_guard lock(machine_.Mutex());
    auto key = FindLocked(path);
    return key ? key->values.size() : 0;
}

void Registry::VisitSubKeysImpl(std::string_view path, std::string_view valueName, void* context, VisitFn visit) {
    std::lock_guard lock(machine_.Mutex());
    auto key = FindLocked(path);
    if (!key) return;
    for (auto& [name, child] : key->children) visit(context, child->name, FindValue(*child, valueName));
}

namespace {
std::string DisplayLower(const std::string& rootPath, const PathParts& parts) {
    std::string out = rootPath;
    for (const auto& p : parts) (out += '\\') += p;
    return Lower(out);
}
}  // namespace

void Registry::DenyWrite(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    std::string_view rest;
    auto root = RootFor(path, &rest);
    denyWrite_.insert(DisplayLower(root->path, SplitPath(rest)));
}

void Registry::DenyRead(const std::string& path) {
    std::lock_guard lock(machine_.Mutex());
    std::string_view rest;
    auto root = RootFor(path, &rest);
    denyRead_.insert(DisplayLower(root->path, SplitPath(rest)));
}

void Registry::AllowAll() {
    std::lock_guard lock(machine_.Mutex());
    denyWrite_.clear();
    denyRead_.clear();
}

// ---- Win32 side ----

LSTATUS Registry::Open(HKEY parent, const char* subKey, REGSAM sam, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    PathParts parts;
    if (LSTATUS status = SplitSubKey(subKey, &parts)) return status;
    sam = Normalize(sam);
    std::shared_ptr<Key> key;
    {
        std::lock_guard lock(machine_.Mutex());
        Resolved base;
        if (LSTATUS status = ResolveLocked(parent, &base)) return status;
        const std::shared_ptr<Key>* at = &base.key;
        for (const auto& part : parts) {
            at = ChildOf(**at, part);
            if (!at) return ERROR_FILE_NOT_FOUND;
        }
        key = *at;
        if (((sam & kWriteRights) && DeniedLocked(denyWrite_, *key)) ||
            ((sam & kReadRights) && DeniedLocked(denyRead_, *key)))
            return ERROR_ACCESS_DENIED;
    }
    *result = reinterpret_cast<HKEY>(machine_.AddHandle(key, sam));
    return ERROR_SUCCESS;
}

LSTATUS Registry::Create(HKEY parent, const char* subKey, REGSAM sam, PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    PathParts parts;
    if (LSTATUS status = SplitSubKey(subKey, &parts)) return status;
    sam = Normalize(sam);
    std::shared_ptr<Key> key;
    std::size_t created = 0;
    {
        std::lock_guard lock(machine_.Mutex());
        Resolved base;
        if (LSTATUS status = ResolveLocked(parent, &base)) return status;
        // Check the whole path before creating anything, so a refused call leaves no keys behind.
        const std::shared_ptr<Key>* at = &base.key;
        std::size_t existing = 0;
        for (const auto& part : parts) {
            const std::shared_ptr<Key>* child = ChildOf(**at, part);
            if (!child) {
                if (!denyWrite_.empty() && DeniedPathLocked(denyWrite_, (*at)->lowerPath + "\\" + Lower(std::string(part))))
                    return ERROR_ACCESS_DENIED;
                break;
            }
            at = child;
            ++existing;
        }
        key = *at;
        if (existing == parts.size() && (((sam & kWriteRights) && DeniedLocked(denyWrite_, *key)) ||
                                         ((sam & kReadRights) && DeniedLocked(denyRead_, *key))))
            return ERROR_ACCESS_DENIED;
        for (std::size_t i = existing; i < parts.size(); ++i) key = AddChild(*key, parts[i]);
        created = parts.size() - existing;
    }
    if (disposition) *disposition = created == 0 ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    // The keys made form a chain ending in `key`, and names hold no backslash: the path of each is a
    // prefix of the last one's (whose path, like every key's, never changes).
    const std::string_view path = key->path;
    std::size_t end = path.size();
    for (std::size_t i = 1; i < created; ++i) end = path.rfind('\\', end - 1);
    std::string note;
    for (std::size_t i = 0; i < created; ++i) {
        note.assign("created key ").append(path.substr(0, end));
        machine_.AddNote("registry", note);
        end = std::min(path.find('\\', end + 1), path.size());
    }
    *result = reinterpret_cast<HKEY>(machine_.AddHandle(key, sam));
    return ERROR_SUCCESS;
}

LSTATUS Registry::Query(HKEY handle, const char* name, bool narrow, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machine_.Mutex());
    Resolved r;
    if (LSTATUS status = ResolveLocked(handle, &r)) return status;
    if (!(r.access & KEY_QUERY_VALUE) || DeniedLocked(denyRead_, *r.key)) return ERROR_ACCESS_DENIED;
    const RegValue* v = FindValue(*r.key, name ? name : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    // The A functions get strings in UTF-8, every unit converted (the terminators too), written straight
    // into the caller's buffer.
    const bool convert = narrow && IsStringType(v->type);
    const DWORD needed = static_cast<DWORD>(convert ? NarrowBytesTo(v->bytes.data(), v->bytes.size(), nullptr, 0)
                                                    : v->bytes.size());
    if (type) *type = v->type;
    if (!data) {
        if (size) *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (convert)
        NarrowBytesTo(v->bytes.data(), v->bytes.size(), reinterpret_cast<char*>(data), needed);
    else if (needed)
        std::memcpy(data, v->bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS Registry::Set(HKEY handle, const char* name, bool narrow, DWORD type, const BYTE* data, DWORD size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes(data, data + size);
    if (narrow && IsStringType(type)) bytes = BytesOf(WideAll(std::string(bytes.begin(), bytes.end())));
    const std::string_view valueName = name ? name : "";
    std::string note;
    std::shared_ptr<Key> written;  // a key's path never changes: the hook reads it after the lock
    WriteHook hook;
    {
        std::lock_guard lock(machine_.Mutex());
        Resolved r;
        if (LSTATUS status = ResolveLocked(handle, &r)) return status;
        if (!(r.access & KEY_SET_VALUE) || DeniedLocked(denyWrite_, *r.key)) return ERROR_ACCESS_DENIED;
        RegValue value{type, std::move(bytes)};
        note.reserve(r.key->path.size() + valueName.size() + 48);
        ((note += r.key->path) += '\\') += valueName.empty() ? "(Default)" : valueName;
        note += " = ";
        AppendValueText(note, value);
        ((note += " (") += TypeText(type)) += ')';
        if (RegValue* v = FindValue(*r.key, valueName))
            *v = std::move(value);
        else
            r.key->values.emplace_back(valueName, std::move(value));
        written = r.key;
        hook = writeHook_;
    }
    machine_.AddNote("registry", note);
    if (hook) hook(written->path, valueName);
    return ERROR_SUCCESS;
}

void Registry::SetWriteHook(WriteHook hook) {
    std::lock_guard lock(machine_.Mutex());
    writeHook_ = std::move(hook);
}

LSTATUS Registry::GetValue(HKEY handle, const char* subKey, const char* name, bool narrow, DWORD flags, LPDWORD type,
                           PVOID data, LPDWORD size) {
    if ((flags & RRF_RT_ANY) == 0 || (data && !size)) return ERROR_INVALID_PARAMETER;
    HKEY key = handle;
    HKEY opened = nullptr;
    if (subKey && *subKey) {
        if (LSTATUS status = Open(handle, subKey, KEY_QUERY_VALUE, &opened)) return status;
        key = opened;
    }
    // The value into a buffer with room for a terminator to add: on the stack for most values.
    constexpr DWORD kTerminator = 2;
    BYTE local[512];
    std::vector<BYTE> large;
    BYTE* bytes = local;
    DWORD valueType = REG_NONE;
    DWORD needed = sizeof local - kTerminator;
    LSTATUS status = Query(key, name, narrow, &valueType, bytes, &needed);
    if (status == ERROR_MORE_DATA) {
        large.resize(needed + kTerminator);
        bytes = large.data();
        status = Query(key, name, narrow, &valueType, bytes, &needed);
    }
    std::size_t length = needed;
    if (opened) Close(opened);
    if (status != ERROR_SUCCESS) return status;
    const DWORD allowed = valueType == REG_NONE       ? RRF_RT_REG_NONE
                          : valueType == REG_SZ        ? RRF_RT_REG_SZ
                          : valueType == REG_EXPAND_SZ ? RRF_RT_REG_EXPAND_SZ
                          : valueType == REG_BINARY    ? RRF_RT_REG_BINARY
                          : valueType == REG_DWORD     ? RRF_RT_REG_DWORD
                          : valueType == REG_MULTI_SZ  ? RRF_RT_REG_MULTI_SZ
                                                       : 0;
    if ((flags & allowed) == 0) return ERROR_UNSUPPORTED_TYPE;
    if (type) *type = valueType;
    if (IsStringType(valueType)) {
        // Terminated as the caller receives it: one more zero character unless the data ends in one.
        const std::size_t unit = narrow ? 1 : 2;
        bool terminated = length >= unit;
        for (std::size_t i = 0; terminated && i < unit; ++i) terminated = bytes[length - 1 - i] == 0;
        if (!terminated) {
            std::memset(bytes + length, 0, unit);
            length += unit;
        }
    }
    if (!data) {
        if (size) *size = static_cast<DWORD>(length);
        return ERROR_SUCCESS;
    }
    if (*size < length) {
        *size = static_cast<DWORD>(length);
        return ERROR_MORE_DATA;
    }
    if (length) std::memcpy(data, bytes, length);
    *size = static_cast<DWORD>(length);
    return ERROR_SUCCESS;
}

LSTATUS Registry::EnumKey(HKEY handle, DWORD index, LPWSTR name, LPDWORD nameChars, LPWSTR cls, LPDWORD clsChars,
                          void* lastWrite) {
    if (!name || !nameChars) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(machine_.Mutex());
    Resolved r;
    if (LSTATUS status = ResolveLocked(handle, &r)) return status;
    if (!(r.access & KEY_ENUMERATE_SUB_KEYS) || DeniedLocked(denyRead_, *r.key)) return ERROR_ACCESS_DENIED;
    Key& key = *r.key;
    if (index >= key.children.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key.children.begin();
    std::size_t at = 0;
    if (key.enumValid && key.enumIndex <= index) {
        it = key.enumAt;
        at = key.enumIndex;
    }
    std::advance(it, index - at);
    key.enumValid = true;
    key.enumIndex = index;
    key.enumAt = it;
    const std::size_t length = WideTo(it->second->name, name, *nameChars);  // written only if it fits
    if (length + 1 > *nameChars) return ERROR_MORE_DATA;
    *nameChars = static_cast<DWORD>(length);
    if (cls && clsChars && *clsChars) cls[0] = 0;
    if (clsChars) *clsChars = 0;
    if (lastWrite) std::memset(lastWrite, 0, 8);
    return ERROR_SUCCESS;
}

LSTATUS Registry::Close(HKEY handle) {
    if (IsPredefined(handle)) return ERROR_SUCCESS;
    if (!machine_.LookupAs<Key>(handle)) return ERROR_INVALID_HANDLE;
    return machine_.CloseHandleValue(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace sim

// ---- the Win32 functions ----

namespace {

sim::Registry& Reg() { return sim::Machine::Current().Reg(); }

bool Failing(const char* function, LSTATUS* status) {
    DWORD err;
    if (!sim::Machine::Current().TakeFailure(function, &err)) return false;
    *status = static_cast<LSTATUS>(err);
    return true;
}

// A UTF-8 copy of a W argument that keeps null as null.
// The usual names fit in place; a longer one takes a string of its own.
class NarrowArg {
public:
    explicit NarrowArg(LPCWSTR text) : present_(text != nullptr) {
        if (!text) return;
        if (sim::NarrowTo(text, local_, sizeof local_) >= sizeof local_) long_ = sim::Narrow(text);
    }
    NarrowArg(const NarrowArg&) = delete;
    NarrowArg& operator=(const NarrowArg&) = delete;
    const char* get() const { return !present_ ? nullptr : long_.empty() ? local_ : long_.c_str(); }

private:
    bool present_;
    char local_[256];  // written whenever it is used
    std::string long_;
};

}  // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    LSTATUS status;
    if (Failing("RegOpenKeyExA", &status)) return status;
    return Reg().Open(hKey, lpSubKey, samDesired, phkResult);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    LSTATUS status;
    if (Failing("RegOpenKeyExW", &status)) return status;
    return Reg().Open(hKey, NarrowArg(lpSubKey).get(), samDesired, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, const SECURITY_ATTRIBUTES*,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
    LSTATUS status;
    if (Failing("RegCreateKeyExA", &status)) return status;
    return Reg().Create(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    LSTATUS status;
    if (Failing("RegCreateKeyExW", &status)) return status;
    return Reg().Create(hKey, NarrowArg(lpSubKey).get(), samDesired, phkResult, lpdwDisposition);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    LSTATUS status;
    if (Failing("RegQueryValueExA", &status)) return status;
    return Reg().Query(hKey, lpValueName, true, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    LSTATUS status;
    if (Failing("RegQueryValueExW", &status)) return status;
    return Reg().Query(hKey, NarrowArg(lpValueName).get(), false, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    LSTATUS status;
    if (Failing("RegSetValueExA", &status)) return status;
    return Reg().Set(hKey, lpValueName, true, dwType, lpData, cbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    LSTATUS status;
    if (Failing("RegSetValueExW", &status)) return status;
    return Reg().Set(hKey, NarrowArg(lpValueName).get(), false, dwType, lpData, cbData);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                      LPDWORD lpcchClass, void* lpftLastWriteTime) {
    LSTATUS status;
    if (Failing("RegEnumKeyExW", &status)) return status;
    return Reg().EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, void* lpftLastWriteTime) {
    LSTATUS status;
    if (Failing("RegEnumKeyExA", &status)) return status;
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    // Enumerated through the W form, then narrowed: names are ASCII in every key this machine holds.
    WCHAR wide[256];
    DWORD chars = 256;
    status = Reg().EnumKey(hKey, dwIndex, wide, &chars, nullptr, nullptr, lpftLastWriteTime);
    if (status != ERROR_SUCCESS) return status;
    const std::string name = sim::Narrow(wide);
    if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
    if (lpcchClass) *lpcchClass = 0;
    return ERROR_SUCCESS;
}

LSTATUS RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData) {
    LSTATUS status;
    if (Failing("RegGetValueA", &status)) return status;
    return Reg().GetValue(hkey, lpSubKey, lpValue, true, dwFlags, pdwType, pvData, pcbData);
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData) {
    LSTATUS status;
    if (Failing("RegGetValueW", &status)) return status;
    return Reg().GetValue(hkey, NarrowArg(lpSubKey).get(), NarrowArg(lpValue).get(), false, dwFlags, pdwType, pvData,
                          pcbData);
}

LSTATUS RegCloseKey(HKEY hKey) {
    LSTATUS status;
    if (Failing("RegCloseKey", &status)) return status;
    return Reg().Close(hKey);
}
