// The simulated registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER trees.
//
// Key names are case-insensitive and keep the spelling they were created with. Subkeys enumerate in
// sorted order (case-insensitive), as the registry stores them; values keep their creation order.
// Values keep their exact type and bytes: strings are stored as UTF-16 with their terminator, as the
// W functions write them, and the A functions convert at their boundary.
//
// Paths of the test-facing methods: "HKLM\SOFTWARE\Quillon" (also "HKEY_LOCAL_MACHINE\...", "HKCU\...",
// "HKEY_CURRENT_USER\..."); a path without a root names a key under HKLM.
//
// Open keys are handles of type "RegKey" in the machine's handle table, so tests can count leaks.
// Each key handle carries the access it was opened with: writing through a KEY_READ handle fails with
// ERROR_ACCESS_DENIED as on Windows.
#pragma once
#include <functional>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>

#include "platform/sim/include/sim/machine.h"

namespace sim {

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    bool operator==(const RegValue&) const = default;
};

class Registry {
public:
    explicit Registry(Machine& machine);
    ~Registry();

    // Test side. Setters create missing keys and do not record notes (they set the scene).
    void SetValue(const std::string& path, const std::string& name, DWORD type, std::vector<BYTE> bytes);
    void SetDword(const std::string& path, const std::string& name, DWORD value);
    // Stores `utf8` as UTF-16 with its terminator; type REG_SZ or REG_EXPAND_SZ.
    void SetString(const std::string& path, const std::string& name, const std::string& utf8, DWORD type = REG_SZ);
    // Several values of one key, in order, with the path looked up once: what SetValue for each would
    // leave. StringValue is what SetString stores.
    void SetValues(const std::string& path, std::vector<std::pair<std::string, RegValue>> values);
    static RegValue StringValue(const std::string& utf8, DWORD type = REG_SZ);
    std::optional<RegValue> GetValue(std::string_view path, std::string_view name);
    // The value only when it is a 4-byte REG_DWORD.
    std::optional<DWORD> GetDword(std::string_view path, std::string_view name);
    // The value only when it is REG_SZ or REG_EXPAND_SZ, up to its terminator.
    std::optional<std::string> GetString(std::string_view path, std::string_view name);
    // Reads a value where it is stored, for callers that only look at it: `read` gets the value (null
    // when the key or the value is missing) with the machine lock held, so it must not call into the
    // machine. Returns what `read` returns.
    template <class Read>
    auto ReadValue(std::string_view path, std::string_view name, Read&& read) {
        std::lock_guard lock(machine_.Mutex());
        return read(FindValueLocked(path, name));
    }
    // The same for every subkey of `path` in enumeration order: `visit(name, value)` gets the subkey's
    // name and its value `valueName` (null when it has none), with the machine lock held.
    template <class Visit>
    void VisitSubKeys(std::string_view path, std::string_view valueName, Visit&& visit) {
        VisitSubKeysImpl(path, valueName, &visit, [](void* context, const std::string& name, const RegValue* value) {
            (*static_cast<std::remove_reference_t<Visit>*>(context))(name, value);
        });
    }
    bool KeyExists(const std::string& path);
    void CreateKey(const std::string& path);
    // Deletes a key with its subkeys; handles still open on them then fail with ERROR_KEY_DELETED.
    bool DeleteKey(const std::string& path);
    bool DeleteValue(const std::string& path, const std::string& name);
    std::vector<std::string> SubKeys(const std::string& path);    // enumeration order
    std::vector<std::string> ValueNames(const std::string& path);  // creation order
    std::size_t ValueCount(std::string_view path);

    // Access failures: the key at `path` and every key below it (existing or not yet created) refuses
    // write access (RegCreateKeyEx creating or opening for write, RegSetValueEx, RegOpenKeyEx for
    // write) or read access (RegOpenKeyEx/RegCreateKeyEx for read, RegQueryValueEx, RegEnumKeyEx)
    // with ERROR_ACCESS_DENIED. Calls can also fail by name through Machine::InjectFailure.
    void DenyWrite(const std::string& path);
    void DenyRead(const std::string& path);
    void AllowAll();

    // Called after every value write through the Win32 functions (RegSetValueEx), without the machine
    // lock, with the key's display path ("HKLM\SOFTWARE\...") and the value name: lets a simulated
    // service react to what a program wrote (the endpoint store's concurrent writer).
    using WriteHook = std::function<void(const std::string& keyPath, std::string_view valueName)>;
    void SetWriteHook(WriteHook hook);

    // Win32 side (names UTF-8; the A and W entry points convert).
    struct Key;
    LSTATUS Open(HKEY parent, const char* subKey, REGSAM sam, PHKEY result);
    LSTATUS Create(HKEY parent, const char* subKey, REGSAM sam, PHKEY result, LPDWORD disposition);
    LSTATUS Query(HKEY key, const char* name, bool narrow, LPDWORD type, LPBYTE data, LPDWORD size);
    LSTATUS Set(HKEY key, const char* name, bool narrow, DWORD type, const BYTE* data, DWORD size);
    // RegGetValue: the value of `subKey` (null: the key itself), restricted to the RRF_RT_* types in
    // `flags`; strings come back terminated (ERROR_MORE_DATA when the terminator does not fit).
    LSTATUS GetValue(HKEY key, const char* subKey, const char* name, bool narrow, DWORD flags, LPDWORD type,
                     PVOID data, LPDWORD size);
    LSTATUS EnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPWSTR cls, LPDWORD clsChars,
                    void* lastWrite);
    LSTATUS Close(HKEY key);

private:
    struct Resolved;
    // Lock held for the helpers below.
    std::shared_ptr<Key> RootFor(std::string_view path, std::string_view* rest);
    std::shared_ptr<Key> FindLocked(std::string_view path);
    const RegValue* FindValueLocked(std::string_view path, std::string_view name);
    using VisitFn = void (*)(void* context, const std::string& name, const RegValue* value);
    void VisitSubKeysImpl(std::string_view path, std::string_view valueName, void* context, VisitFn visit);
    std::shared_ptr<Key> CreateLocked(const std::string& path);
    bool DeniedLocked(const std::set<std::string>& denied, const Key& key) const;
    bool DeniedPathLocked(const std::set<std::string>& denied, const std::string& lowerPath) const;
    LSTATUS ResolveLocked(HKEY handle, Resolved* out);

    Machine& machine_;
    std::shared_ptr<Key> hklm_;
    std::shared_ptr<Key> hkcu_;
    std::set<std::string> denyWrite_;  // lower-case display paths ("hklm\software\quillon")
    std::set<std::string> denyRead_;
    WriteHook writeHook_;
};

}  // namespace sim
