// The registry calls of the service's settings: value types and sizes, short buffers, enumeration,
// missing parents and access rights.
#include "tests/conformance/conformance.h"

#include <cstdio>
#include <cstring>

namespace {

// HKLM\SOFTWARE\QuillonConformance\<this run>: fresh in every run, the same throughout one test.
void RunKey(char (&out)[128], const char* below) {
    static ULONGLONG run = 0;
    static DWORD process = 0;
    if (process != GetCurrentProcessId() || !run) {  // a new machine (or program) is a new run
        process = GetCurrentProcessId();
        run = GetTickCount64() + 1;
    }
    std::snprintf(out, sizeof out, "SOFTWARE\\QuillonConformance\\run%lu_%llu%s%s", static_cast<unsigned long>(process),
                  static_cast<unsigned long long>(run), below ? "\\" : "", below ? below : "");
}

}  // namespace

CONFORMANCE_TEST(Registry, CreatingAKeyCreatesItsMissingParentsAndReportsTheDisposition) {
    char path[128];
    RunKey(path, "A\\B\\C");
    HKEY key = nullptr;
    DWORD disposition = 0;
    CHECK_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &key, &disposition),
             ERROR_SUCCESS);
    CHECK_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    CHECK_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &key,
                             &disposition),
             ERROR_SUCCESS);
    CHECK_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    char missing[128];
    RunKey(missing, "A\\Nope");
    key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, missing, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

CONFORMANCE_TEST(Registry, ValuesKeepTheirTypeAndAShortBufferGetsMoreDataAndTheSize) {
    char path[128];
    RunKey(path, "Values");
    HKEY key = nullptr;
    CHECK_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
             ERROR_SUCCESS);
    const DWORD number = 0x12345678;
    CHECK_EQ(RegSetValueExW(key, WSTR("Number"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
             ERROR_SUCCESS);
    const WCHAR text[] = WSTR("Ultra-low");
    CHECK_EQ(RegSetValueExW(key, WSTR("Text"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
             ERROR_SUCCESS);

    DWORD type = 0, read = 0, size = sizeof read;
    CHECK_EQ(RegQueryValueExW(key, WSTR("Number"), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    CHECK_EQ(type, static_cast<DWORD>(REG_DWORD));
    CHECK_EQ(size, 4u);
    CHECK_EQ(read, number);

    // Size query (no buffer), then a short buffer: ERROR_MORE_DATA with the size needed.
    size = 0;
    type = 0;
    CHECK_EQ(RegQueryValueExW(key, WSTR("Text"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(type, static_cast<DWORD>(REG_SZ));
    CHECK_EQ(size, static_cast<DWORD>(sizeof text));
    BYTE small[4] = {};
    size = sizeof small;
    CHECK_EQ(RegQueryValueExW(key, WSTR("Text"), nullptr, &type, small, &size), ERROR_MORE_DATA);
    CHECK_EQ(size, static_cast<DWORD>(sizeof text));

    // A string where a number is expected is seen as a string: the type tells.
    DWORD asNumber = 0;
    size = sizeof asNumber;
    const LONG r = RegQueryValueExW(key, WSTR("Text"), nullptr, &type, reinterpret_cast<BYTE*>(&asNumber), &size);
    CHECK_EQ(r, ERROR_MORE_DATA);
    CHECK_EQ(type, static_cast<DWORD>(REG_SZ));

    size = sizeof read;
    CHECK_EQ(RegQueryValueExW(key, WSTR("Absent"), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
             ERROR_FILE_NOT_FOUND);

    // The A form of a value the W form wrote.
    char narrow[32] = {};
    size = sizeof narrow;
    CHECK_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size), ERROR_SUCCESS);
    CHECK_EQ(std::strcmp(narrow, "Ultra-low"), 0);
    CHECK_EQ(size, 10u);
    RegCloseKey(key);
}

CONFORMANCE_TEST(Registry, EnumerationNamesBuffersAndTheEnd) {
    char path[128];
    RunKey(path, "List\\LongerName");
    HKEY created = nullptr;
    CHECK_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
             ERROR_SUCCESS);
    RegCloseKey(created);
    RunKey(path, "List");
    HKEY list = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &list), ERROR_SUCCESS);
    WCHAR name[64];
    DWORD chars = 64;
    CHECK_EQ(RegEnumKeyExW(list, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    CHECK_EQ(chars, 10u);  // without the terminator
    CHECK_EQ(lstrcmpW(name, WSTR("LongerName")), 0);
    chars = 4;
    CHECK_EQ(RegEnumKeyExW(list, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 64;
    CHECK_EQ(RegEnumKeyExW(list, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(list);
}

CONFORMANCE_TEST(Registry, AKeyOpenedForReadingCannotBeWritten) {
    char path[128];
    RunKey(path, "ReadOnly");
    HKEY key = nullptr;
    CHECK_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
             ERROR_SUCCESS);
    RegCloseKey(key);
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    const DWORD one = 1;
    CHECK_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
             ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    SetLastError(0);
    CHECK_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}
