// Named file mappings: sharing, lifetime, protection, security descriptors and sessions.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/simwin/api.h"

namespace {

constexpr const char* kUsersRead = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;IU)";
constexpr const char* kUsersReadWrite = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;IU)";

// Creates a mapping with the given SDDL (null: default security).
HANDLE CreateBlock(const char* name, const char* sddl, DWORD protect = PAGE_READWRITE, DWORD size = 4096) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, TRUE};
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, protect, 0, size, name);
    if (descriptor) LocalFree(descriptor);
    return h;
}

// Runs `body` as a program of the logged-on user (session 1) and waits for it.
void AsInteractiveUser(sim::Machine& machine, std::function<void()> body) {
    sim::ProgramSpec spec;
    spec.imageName = "QuillonSystray.exe";
    spec.interactiveUser = true;
    spec.entry = [body](HINSTANCE) {
        body();
        return 0;
    };
    ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(spec), 1000));
}

TEST(FileMapping, CreateThenOpenShareZeroedMemoryThroughDistinctViews) {
    sim::Machine machine;
    HANDLE created = CreateBlock("Global\\QuillonStatus", kUsersReadWrite);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto* writer = static_cast<BYTE*>(MapViewOfFile(created, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(writer, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(writer[i], 0) << i;

    HANDLE again = CreateBlock("Global\\QuillonStatus", kUsersReadWrite);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE opened = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\QuillonStatus");
    ASSERT_NE(opened, nullptr);
    auto* reader = static_cast<const BYTE*>(MapViewOfFile(opened, FILE_MAP_READ, 0, 0, 64));
    ASSERT_NE(reader, nullptr);
    EXPECT_NE(static_cast<const void*>(reader), static_cast<void*>(writer));
    writer[10] = 0x5A;
    EXPECT_EQ(reader[10], 0x5A);
    EXPECT_EQ(machine.Names().MappingView("Global\\QuillonStatus")[10], 0x5A);

    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\Missing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(machine.HandleCount("FileMapping"), 3u);
    UnmapViewOfFile(writer);
    UnmapViewOfFile(reader);
    CloseHandle(created);
    CloseHandle(again);
    CloseHandle(opened);
}

TEST(FileMapping, LivesWhileAHandleOrViewRefersToIt) {
    sim::Machine machine;
    HANDLE h = CreateBlock("Local\\Block", nullptr);
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    CloseHandle(h);
    EXPECT_TRUE(machine.Names().MappingExists("Local\\Block"));
    EXPECT_EQ(machine.Names().LiveMappingCount(), 1u);
    EXPECT_EQ(machine.Names().LiveViewCount(), 1u);
    ASSERT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(machine.Names().MappingExists("Local\\Block"));
    EXPECT_EQ(machine.Names().LiveMappingCount(), 0u);
    EXPECT_EQ(machine.Names().LiveViewCount(), 0u);
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    // A new mapping of the same name starts from zero again.
    h = CreateBlock("Local\\Block", nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
}

TEST(FileMapping, WriteViewsNeedAWritableMappingAndHandle) {
    sim::Machine machine;
    HANDLE readOnly = CreateBlock("Global\\ReadOnly", nullptr, PAGE_READONLY);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    void* view = MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0);
    EXPECT_NE(view, nullptr);
    UnmapViewOfFile(view);

    HANDLE writable = CreateBlock("Global\\Writable", nullptr);
    HANDLE readHandle = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\Writable");
    EXPECT_EQ(MapViewOfFile(readHandle, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(MapViewOfFile(writable, FILE_MAP_READ, 0, 0, 4097), nullptr);  // beyond the mapping
    EXPECT_EQ(MapViewOfFile(writable, FILE_MAP_READ, 0, 4096, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT));
    EXPECT_EQ(machine.Names().LiveViewCount(), 0u);
    CloseHandle(readOnly);
    CloseHandle(writable);
    CloseHandle(readHandle);
}

TEST(FileMapping, RecordsTheSecurityDescriptorAndInheritance) {
    sim::Machine machine;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("(A;;GR;;;IU)", SDDL_REVISION_1, &descriptor,
                                                                      nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GR;;IU)", SDDL_REVISION_1, &descriptor,
                                                                      nullptr));  // five fields
    EXPECT_TRUE(sim::Namespace::ValidSddl("O:BAG:SYD:P(A;OICI;GA;;;SY)(A;;0x0004;;;S-1-5-4)S:(ML;;NW;;;LW)"));
    // What the interactive user gets: ACEs in order, a deny first wins; hex masks; a null DACL; no DACL.
    using NS = sim::Namespace;
    EXPECT_EQ(NS::InteractiveRights("D:(D;;GW;;;IU)(A;;GA;;;WD)"), NS::kRightRead);
    EXPECT_EQ(NS::InteractiveRights("D:(A;;GA;;;WD)(D;;GW;;;IU)"), NS::kRightRead | NS::kRightWrite);
    EXPECT_EQ(NS::InteractiveRights("O:BAG:SYD:P(A;OICI;GA;;;SY)(A;;0x0004;;;S-1-5-4)"), NS::kRightRead);
    EXPECT_EQ(NS::InteractiveRights("D:(A;;GA;;;SY)(A;;GA;;;BA)"), 0u);
    EXPECT_EQ(NS::InteractiveRights("D:NO_ACCESS_CONTROL"), NS::kRightRead | NS::kRightWrite);
    EXPECT_EQ(NS::InteractiveRights("O:BA"), std::nullopt);

    HANDLE h = CreateBlock("Global\\Secured", kUsersRead);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(machine.Names().MappingSddl("Global\\Secured"), kUsersRead);
    auto info = machine.Names().Mapping("Global\\Secured");
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->inheritable);
    EXPECT_EQ(info->size, 4096u);
    EXPECT_EQ(machine.Names().HandleInheritable(h), true);
    HANDLE plain = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, "Global\\Plain");
    EXPECT_EQ(machine.Names().MappingSddl("Global\\Plain"), "");
    EXPECT_EQ(machine.Names().HandleInheritable(plain), false);

    int notADescriptor[4] = {1, 2, 3, 4};
    SECURITY_ATTRIBUTES sa{sizeof sa, notADescriptor, FALSE};
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 16, "Global\\Odd"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    CloseHandle(h);
    CloseHandle(plain);
}

TEST(FileMapping, TheInteractiveUserGetsOnlyWhatTheDaclGrants) {
    sim::Machine machine;
    HANDLE readable = CreateBlock("Global\\UsersRead", kUsersRead);
    HANDLE shared = CreateBlock("Global\\UsersReadWrite", kUsersReadWrite);
    HANDLE system = CreateBlock("Global\\SystemOnly", nullptr);
    DWORD writeError = 0, defaultError = 0, createGlobalError = 0;
    bool readOk = false, sharedWriteOk = false;
    AsInteractiveUser(machine, [&] {
        EXPECT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Global\\UsersRead"), nullptr);
        writeError = GetLastError();
        HANDLE r = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\UsersRead");
        readOk = r && MapViewOfFile(r, FILE_MAP_READ, 0, 0, 0) != nullptr;
        HANDLE w = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Global\\UsersReadWrite");
        sharedWriteOk = w && MapViewOfFile(w, FILE_MAP_WRITE, 0, 0, 0) != nullptr;
        EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\SystemOnly"), nullptr);
        defaultError = GetLastError();
        EXPECT_EQ(CreateBlock("Global\\TrayMade", kUsersReadWrite), nullptr);
        createGlobalError = GetLastError();
    });
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(readOk);
    EXPECT_TRUE(sharedWriteOk);
    EXPECT_EQ(defaultError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(createGlobalError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(readable);
    CloseHandle(shared);
    CloseHandle(system);
}

TEST(FileMapping, SessionZeroLocalNamesAreGlobalButSessionOneNamesAreNot) {
    sim::Machine machine;
    HANDLE service = CreateBlock("QuillonBlock", kUsersReadWrite);  // session 0: the global namespace
    bool trayFoundGlobal = false, trayFoundLocal = true;
    AsInteractiveUser(machine, [&] {
        HANDLE g = OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\QuillonBlock");
        trayFoundGlobal = g != nullptr;
        trayFoundLocal = OpenFileMappingA(FILE_MAP_READ, FALSE, "QuillonBlock") != nullptr;
        HANDLE own = CreateBlock("Local\\TrayPrivate", nullptr);
        EXPECT_NE(own, nullptr);
        EXPECT_NE(OpenFileMappingA(FILE_MAP_WRITE, FALSE, "TrayPrivate"), nullptr);  // its creator may open it
    });
    EXPECT_TRUE(trayFoundGlobal);
    EXPECT_FALSE(trayFoundLocal);
    EXPECT_FALSE(machine.Names().MappingExists("Global\\TrayPrivate"));
    CloseHandle(service);
}

}  // namespace
