// The simulated registry through the Win32 calls the programs make.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/simwin/api.h"

namespace {

constexpr const char* kKey = "HKLM\\SOFTWARE\\Quillon\\Settings";

bool HasNote(sim::Machine& machine, const std::string& source, const std::string& text) {
    for (const auto& n : machine.Notes())
        if (n.source == source && n.text == text) return true;
    return false;
}

TEST(Registry, QueryReportsTheStoredTypeAndFollowsTheSizeProtocol) {
    sim::Machine machine;
    machine.Reg().SetString(kKey, "Enable", "1");  // a string where the programs expect a DWORD
    machine.Reg().SetDword(kKey, "Latency", 256);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\QUILLON\\settings", 0, KEY_READ, &key), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Enable", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);  // u"1" with its terminator

    DWORD value = 0;
    size = 2;
    EXPECT_EQ(RegQueryValueExW(key, u"latency", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(RegQueryValueExW(key, u"Latency", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 256u);

    size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"Latency", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(machine.HandleCount("RegKey"), 0u);
}

TEST(Registry, NarrowFunctionsConvertStringsAtTheirBoundary) {
    sim::Machine machine;
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillon", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const char text[] = "Studio";
    ASSERT_EQ(RegSetValueExA(key, "Model", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    // Stored as UTF-16, as Windows stores it.
    auto stored = machine.Reg().GetValue("HKLM\\SOFTWARE\\Quillon", "Model");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bytes.size(), 14u);
    EXPECT_EQ(machine.Reg().GetString("HKEY_LOCAL_MACHINE\\software\\quillon", "MODEL"), "Studio");

    char back[16] = {};
    DWORD size = sizeof back, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Model", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    EXPECT_STREQ(back, "Studio");

    // Every unit is converted, embedded and final terminators too, a pair whole and a lone surrogate on
    // its own; an odd last byte is not part of the text. The size asked for is the size written.
    const char16_t multi[] = u"Caf\u00e9\0\U0001F3A7\0";  // "Café" and "🎧", each terminated, then the list's end
    std::vector<BYTE> bytes(sizeof multi);
    std::memcpy(bytes.data(), multi, sizeof multi);
    machine.Reg().SetValue("HKLM\\SOFTWARE\\Quillon", "List", REG_MULTI_SZ, bytes);
    const std::string expected("Caf\xC3\xA9\0\xF0\x9F\x8E\xA7\0\0", 12);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "List", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, expected.size());
    size = static_cast<DWORD>(expected.size() - 1);
    EXPECT_EQ(RegQueryValueExA(key, "List", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(RegQueryValueExA(key, "List", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(back, size), expected);
    const BYTE odd[] = {0x00, 0xD8, 'x', 0, 'y'};  // a lone high surrogate, "x", half a unit
    machine.Reg().SetValue("HKLM\\SOFTWARE\\Quillon", "Odd", REG_SZ, {odd, odd + sizeof odd});
    size = sizeof back;
    EXPECT_EQ(RegQueryValueExA(key, "Odd", nullptr, &type, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(back, size), "\xED\xA0\x80x");
    EXPECT_EQ(machine.Reg().GetString("HKLM\\SOFTWARE\\Quillon", "Odd"), "\xED\xA0\x80x");
    RegCloseKey(key);
}

TEST(Registry, CreateMakesMissingParentsAndWritesAreNoted) {
    sim::Machine machine;
    HKEY key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\Settings", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(machine.Reg().KeyExists("HKLM\\SOFTWARE\\Quillon"));
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExW(key, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    EXPECT_EQ(machine.Reg().GetDword(kKey, "enable"), 1u);
    EXPECT_TRUE(HasNote(machine, "registry", "HKLM\\SOFTWARE\\Quillon\\Settings\\Enable = 1 (REG_DWORD)"));
    RegCloseKey(key);
    // Each key made is noted, parents first.
    std::vector<std::string> created;
    for (const auto& n : machine.Notes())
        if (n.source == "registry" && n.text.rfind("created key ", 0) == 0) created.push_back(n.text.substr(12));
    EXPECT_EQ(created, (std::vector<std::string>{"HKLM\\SOFTWARE", "HKLM\\SOFTWARE\\Quillon",
                                                  "HKLM\\SOFTWARE\\Quillon\\Settings"}));

    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\quillon\\settings", 0, nullptr, 0, KEY_READ, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
    EXPECT_EQ(machine.Reg().SubKeys("HKLM\\SOFTWARE\\Quillon"), std::vector<std::string>{"Settings"});

    // A path deeper than a few levels, and names beyond ASCII (a pair, a lone surrogate, a long one):
    // created through W, found again through A, the test view and enumeration with every unit as written.
    std::u16string deep = u"SOFTWARE\\Deep";
    std::string deepNarrow = "HKLM\\SOFTWARE\\Deep";
    for (int level = 0; level < 20; ++level) {
        deep += u"\\L" + std::u16string(1, static_cast<char16_t>(u'a' + level));
        deepNarrow += std::string("\\L") + static_cast<char>('a' + level);
    }
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string names[] = {u"Caf\u00e9 \U0001F3A7", std::u16string(1, char16_t{0xD800}) + u"x",
                                    std::u16string(200, u'\u00e9')};
    for (const std::u16string& name : names) {
        HKEY child = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_SUCCESS);
        RegCloseKey(child);
    }
    std::vector<std::u16string> listed;
    for (DWORD i = 0;; ++i) {
        WCHAR name[400];
        DWORD chars = 400;
        const LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        listed.emplace_back(name, chars);
    }
    RegCloseKey(key);
    EXPECT_EQ(listed.size(), 3u);
    for (const std::u16string& name : names) EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end());
    EXPECT_TRUE(machine.Reg().KeyExists(deepNarrow));
    std::string deepA = deepNarrow.substr(5);  // without "HKLM\\"
    for (char& c : deepA) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, deepA.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(machine.Reg().DeleteKey(deepNarrow));
    EXPECT_FALSE(machine.Reg().KeyExists(deepNarrow));
    EXPECT_TRUE(machine.Reg().KeyExists(deepNarrow.substr(0, deepNarrow.rfind('\\'))));
}

TEST(Registry, AccessIsLimitedByTheHandleAndByDeniedPaths) {
    sim::Machine machine;
    machine.Reg().SetDword(kKey, "Enable", 0);
    HKEY readOnly;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\Settings", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(readOnly, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);

    HKEY writable;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\Settings", 0, KEY_ALL_ACCESS, &writable),
              ERROR_SUCCESS);
    machine.Reg().DenyWrite("HKLM\\SOFTWARE\\Quillon");
    EXPECT_EQ(RegSetValueExW(writable, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    HKEY other = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\New\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &other, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(other, nullptr);
    EXPECT_FALSE(machine.Reg().KeyExists("HKLM\\SOFTWARE\\Quillon\\New"));
    // Reading is still allowed.
    DWORD value = 9, size = 4;
    EXPECT_EQ(RegQueryValueExW(readOnly, u"Enable", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);

    machine.Reg().DenyRead(kKey);
    EXPECT_EQ(RegQueryValueExW(readOnly, u"Enable", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_ACCESS_DENIED);
    machine.Reg().AllowAll();
    EXPECT_EQ(RegSetValueExW(writable, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);

    machine.InjectFailure("RegSetValueExW", ERROR_GEN_FAILURE);
    EXPECT_EQ(RegSetValueExW(writable, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_GEN_FAILURE);
    EXPECT_EQ(RegSetValueExW(writable, u"Enable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(readOnly);
    RegCloseKey(writable);
}

TEST(Registry, EnumerationIsSortedAndReportsShortBuffers) {
    sim::Machine machine;
    // Upper-cased byte order: '_' sorts after the letters, a shorter name before its extensions.
    for (const char* name : {"zeta", "Alpha", "mid_key", "Beta", "a_b", "AB", "Mid"})
        machine.Reg().CreateKey(std::string(kKey) + "\\" + name);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillon\\Settings", 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::string> names;
    WCHAR name[32];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 32;
        const LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        ASSERT_EQ(chars, static_cast<DWORD>(lstrlenW(name)));
        std::string narrow;
        for (int c = 0; name[c]; ++c) narrow += static_cast<char>(name[c]);
        names.push_back(narrow);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"AB", "Alpha", "a_b", "Beta", "Mid", "mid_key", "zeta"}));
    HKEY other = nullptr;  // any spelling finds a key, in either call
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\QUILLON\\settings\\A_B\\", 0, KEY_READ, &other),
              ERROR_SUCCESS);
    RegCloseKey(other);
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(key, "MID_key", 0, nullptr, 0, KEY_READ, nullptr, &other, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(other);
    DWORD chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    // Any index in any order, and the keys as they are now when one is added or deleted mid-walk.
    auto at = [&](DWORD i) {
        DWORD size = 32;
        if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return std::string("-");
        std::string narrow;
        for (int c = 0; name[c]; ++c) narrow += static_cast<char>(name[c]);
        return narrow;
    };
    EXPECT_EQ(at(4), "Mid");
    EXPECT_EQ(at(2), "a_b");
    EXPECT_EQ(at(2), "a_b");
    EXPECT_EQ(at(3), "Beta");
    EXPECT_EQ(at(6), "zeta");
    machine.Reg().CreateKey(std::string(kKey) + "\\Aa");
    EXPECT_EQ(at(4), "Beta");
    EXPECT_EQ(at(0), "Aa");
    EXPECT_EQ(at(1), "AB");
    machine.Reg().DeleteKey(std::string(kKey) + "\\beta");
    EXPECT_EQ(at(4), "Mid");
    EXPECT_EQ(at(7), "-");
    EXPECT_EQ(at(6), "zeta");
    RegCloseKey(key);
}

TEST(Registry, HandlesFailAfterTheirKeyIsDeletedAndBadPathsAreRefused) {
    sim::Machine machine;
    machine.Reg().SetDword(kKey, "Enable", 1);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Quillon\\Settings", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_TRUE(machine.Reg().DeleteKey("HKLM\\SOFTWARE\\Quillon"));
    DWORD value, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"Enable", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY bad = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &bad), ERROR_SUCCESS);
    RegCloseKey(bad);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, KEY_READ, &bad), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(CreateEventW(nullptr, FALSE, FALSE, nullptr))), ERROR_INVALID_HANDLE);
    EXPECT_EQ(machine.HandleCount("Event"), 1u);  // not closed by RegCloseKey
}

TEST(Registry, CurrentUserIsASeparateTree) {
    sim::Machine machine;
    machine.Reg().SetDword("HKCU\\Software\\Quillon", "Shown", 1);
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Quillon", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Quillon", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
