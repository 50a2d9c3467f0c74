// Named file mappings as the shared blocks use them.
#include "tests/conformance/conformance.h"

#include <cstdio>
#include <cstring>

namespace {

// A name of this run's own, so that runs in one Wine prefix do not meet.
void UniqueName(char (&out)[96], const char* prefix, const char* what) {
    std::snprintf(out, sizeof out, "%sQuillonConformance_%s_%lu_%llu", prefix, what,
                  static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long long>(GetTickCount64()));
}

constexpr DWORD kBlockBytes = 204;

}  // namespace

CONFORMANCE_TEST(Mappings, CreateOpenAndAlreadyExistsShareOneZeroFilledSection) {
    char name[96];
    UniqueName(name, "Local\\", "block");
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE created = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockBytes, name);
    CHECK_NE(created, nullptr);
    CHECK_EQ(GetLastError(), ERROR_SUCCESS);  // a new object clears the error

    auto* view = static_cast<unsigned char*>(MapViewOfFile(created, FILE_MAP_WRITE, 0, 0, kBlockBytes));
    CHECK(view != nullptr);
    if (!view) return;
    bool zero = true;
    for (DWORD i = 0; i < kBlockBytes; ++i) zero = zero && view[i] == 0;
    CHECK(zero);
    view[0] = 0x5A;
    view[kBlockBytes - 1] = 0xA5;

    HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockBytes, name);
    CHECK_NE(again, nullptr);
    CHECK_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    CHECK_NE(opened, nullptr);
    auto* reader = static_cast<const unsigned char*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, kBlockBytes));
    CHECK(reader != nullptr);
    if (reader) {
        CHECK_NE(static_cast<const void*>(reader), static_cast<const void*>(view));  // its own view...
        CHECK_EQ(reader[0], 0x5A);                                                 // ...of the same bytes
        CHECK_EQ(reader[kBlockBytes - 1], 0xA5);
        CHECK(UnmapViewOfFile(reader));
    }
    CHECK(UnmapViewOfFile(view));
    CloseHandle(opened);
    CloseHandle(again);
    CloseHandle(created);

    // The last handle and view gone, the name goes with the section.
    SetLastError(0);
    CHECK_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name), nullptr);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

CONFORMANCE_TEST(Mappings, GlobalNamesAreOneNamespaceForCreatorAndOpener) {
    char name[96];
    UniqueName(name, "Global\\", "global");
    HANDLE created = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockBytes, name);
    CHECK_NE(created, nullptr);  // an administrator (or the system) may create global objects
    HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    CHECK_NE(opened, nullptr);
    SetLastError(0);
    CHECK(MapViewOfFile(opened, FILE_MAP_WRITE, 0, 0, 0) == nullptr);  // opened for reading only
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    auto* a = static_cast<unsigned char*>(MapViewOfFile(created, FILE_MAP_WRITE, 0, 0, 0));
    auto* b = static_cast<unsigned char*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 0));
    CHECK(a != nullptr && b != nullptr);
    if (a && b) {
        a[10] = 0x77;
        CHECK_EQ(b[10], 0x77);
    }
    if (a) UnmapViewOfFile(a);
    if (b) UnmapViewOfFile(b);
    if (opened) CloseHandle(opened);
    if (created) CloseHandle(created);
}

CONFORMANCE_TEST(Mappings, ViewsBeyondTheSectionAreRefused) {
    char name[96];
    UniqueName(name, "", "small");
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockBytes, name);
    CHECK_NE(section, nullptr);
    SetLastError(0);
    CHECK(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 2 * 65536) == nullptr);  // longer than the section
    CHECK_NE(GetLastError(), ERROR_SUCCESS);
    SetLastError(0);
    CHECK(MapViewOfFile(section, FILE_MAP_READ, 0, 65536, 16) == nullptr);  // starts past its end
    CHECK_NE(GetLastError(), ERROR_SUCCESS);
    SetLastError(0);
    CHECK(MapViewOfFile(section, FILE_MAP_READ, 0, 100, 16) == nullptr);  // not on the allocation granularity
    CHECK_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
    // A view of the whole section (length 0) works.
    void* whole = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
    CHECK(whole != nullptr);
    if (whole) UnmapViewOfFile(whole);
    CloseHandle(section);
}

CONFORMANCE_TEST(Mappings, TheSharedBlocksSecurityDescriptorsAreAccepted) {
    const char* const texts[] = {
        "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GWGR;;;IU)",
        "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GR;;;IU)",
    };
    for (const char* text : texts) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ULONG size = 0;
        CHECK(ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &descriptor, &size));
        CHECK(descriptor != nullptr);
        CHECK(size > 0);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        char name[96];
        UniqueName(name, "Local\\", "secured");
        HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, kBlockBytes, name);
        CHECK_NE(section, nullptr);
        // The creator (an administrator, or the system) may open it for writing.
        HANDLE opened = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        CHECK_NE(opened, nullptr);
        if (opened) CloseHandle(opened);
        if (section) CloseHandle(section);
        LocalFree(descriptor);
    }
    PSECURITY_DESCRIPTOR bad = nullptr;
    SetLastError(0);
    CHECK(!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;", SDDL_REVISION_1, &bad, nullptr));
    CHECK_NE(GetLastError(), ERROR_SUCCESS);
}
