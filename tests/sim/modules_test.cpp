// Modules, exports, the version resource, MMCSS registration and COM apartments.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/modules.h"
#include "platform/sim/include/simwin/api.h"

namespace {

using SetCharacteristicsW = HANDLE (*)(LPCWSTR, LPDWORD);

template <class F>
F As(FARPROC proc) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}

// Reads the fixed file info of a module's version resource as the service does.
struct VersionRead {
    DWORD findError = 0;
    bool ok = false;
    VS_FIXEDFILEINFO info{};
    UINT length = 0;
};

VersionRead ReadVersion(HMODULE module) {
    VersionRead out;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_VERSION);
    if (!found) {
        out.findError = GetLastError();
        return out;
    }
    const void* block = LockResource(LoadResource(module, found));
    if (!block || SizeofResource(module, found) == 0) return out;
    void* fixed = nullptr;
    if (!VerQueryValueW(block, u"\\", &fixed, &out.length)) return out;
    std::memcpy(&out.info, fixed, sizeof out.info);
    out.ok = true;
    return out;
}

TEST(VersionResource, RoundTripsThroughFindResourceAndVerQueryValue) {
    sim::Machine machine;
    sim::ProgramSpec spec;
    spec.imageName = "QuillonVADService.exe";
    spec.version[0] = 1, spec.version[1] = 0, spec.version[2] = 3, spec.version[3] = 7;
    VersionRead read;
    HMODULE image = nullptr;
    spec.entry = [&](HINSTANCE instance) {
        image = GetModuleHandleW(nullptr);
        EXPECT_EQ(image, instance);
        read = ReadVersion(nullptr);  // null: the process's own image
        return 0;
    };
    ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(spec), 1000));
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.length, 52u);
    EXPECT_EQ(read.info.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(read.info.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(read.info.dwProductVersionLS, 0x00030007u);
    EXPECT_EQ(read.info.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(read.info.dwFileVersionLS, 0x00030007u);
    // The image went with its process.
    EXPECT_EQ(machine.Mods().Image("QuillonVADService.exe"), nullptr);
    EXPECT_EQ(FindResourceW(image, MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
}

TEST(VersionResource, MissingOrDamagedResourcesFailTheWayWindowsDoes) {
    sim::Machine machine;
    const WORD version[4] = {2, 1, 0, 0};
    HMODULE bare = machine.Mods().AddImage("Bare.exe", version, false);
    EXPECT_EQ(ReadVersion(bare).findError, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));

    HMODULE image = machine.Mods().AddImage("Damaged.exe", version, true);
    EXPECT_EQ(FindResourceW(image, MAKEINTRESOURCEW(2), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    ASSERT_TRUE(ReadVersion(image).ok);

    auto blob = sim::Modules::BuildVersionResource(version);
    void* fixed = nullptr;
    UINT length = 0;
    EXPECT_FALSE(VerQueryValueW(blob.data(), u"\\StringFileInfo\\040904b0\\ProductVersion", &fixed, &length));

    blob.resize(40);  // header only: the fixed info is cut off
    ASSERT_TRUE(machine.Mods().SetVersionResource(image, blob));
    EXPECT_FALSE(ReadVersion(image).ok);
    auto wrongSignature = sim::Modules::BuildVersionResource(version);
    wrongSignature[40] ^= 0xFF;
    ASSERT_TRUE(machine.Mods().SetVersionResource(image, wrongSignature));
    auto read = ReadVersion(image);
    ASSERT_TRUE(read.ok);  // checking the signature is the reader's business
    EXPECT_NE(read.info.dwSignature, 0xFEEF04BDu);
    ASSERT_TRUE(machine.Mods().SetVersionResource(image, {}));
    EXPECT_EQ(ReadVersion(image).findError, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    machine.Mods().RemoveImage(bare);
    machine.Mods().RemoveImage(image);
}

TEST(Libraries, ExportsResolveToTheDirectImplementationsAndCanBeRemoved) {
    sim::Machine machine;
    HMODULE avrt = LoadLibraryW(u"C:\\Windows\\System32\\AVRT.DLL");
    ASSERT_NE(avrt, nullptr);
    FARPROC proc = GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW");
    ASSERT_EQ(As<SetCharacteristicsW>(proc), &AvSetMmThreadCharacteristicsW);
    EXPECT_EQ(GetProcAddress(avrt, "avsetmmthreadcharacteristicsw"), nullptr);  // export names are exact
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    ASSERT_TRUE(machine.Mods().RemoveExport("avrt.dll", "AvSetMmThreadCharacteristicsW"));
    EXPECT_EQ(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"), nullptr);

    EXPECT_EQ(GetModuleHandleW(u"ksuser.dll"), nullptr);  // not loaded yet
    ASSERT_TRUE(machine.Mods().RemoveLibrary("KSUSER"));
    EXPECT_EQ(LoadLibraryW(u"ksuser.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    machine.Mods().RestoreAll();
    HMODULE ks = LoadLibraryW(u"ksuser");
    ASSERT_NE(ks, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"KsUser.dll"), ks);
    EXPECT_NE(GetProcAddress(ks, "KsCreatePin2"), nullptr);
    EXPECT_NE(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW"), nullptr);

    EXPECT_EQ(machine.Mods().LoadCount("Avrt.dll"), 1);
    EXPECT_EQ(machine.Mods().LoadCount("ksuser.dll"), 1);
    EXPECT_TRUE(FreeLibrary(ks));
    EXPECT_EQ(GetProcAddress(ks, "KsCreatePin2"), nullptr);  // unloaded
    EXPECT_FALSE(FreeLibrary(ks));
    EXPECT_TRUE(FreeLibrary(avrt));
    EXPECT_EQ(machine.Mods().LoadCount("ksuser.dll"), 0);
    EXPECT_EQ(machine.Mods().LoadCount("Avrt.dll"), 0);
}

unsigned ProAudioThread(void*) {
    DWORD index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(u"Pro Audio", &index);
    if (!task || index == 0) return 1;
    if (!AvSetMmThreadPriority(task, AVRT_PRIORITY_CRITICAL)) return 2;
    Sleep(10);  // registered while the test looks
    if (!AvRevertMmThreadCharacteristics(task)) return 3;
    return 0;
}

TEST(Mmcss, RegistrationIsRecordedOnTheCallingThreadUntilReverted) {
    sim::Machine machine;
    DWORD id = 0;
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProAudioThread, nullptr, 0, reinterpret_cast<unsigned*>(&id)));
    machine.RunFor(5);
    sim::ThreadRec* rec = nullptr;
    for (auto* r : machine.Threads())
        if (r->id == id) rec = r;
    ASSERT_NE(rec, nullptr);
    {
        std::lock_guard lock(machine.Mutex());
        EXPECT_TRUE(rec->mmcssJoined);
        EXPECT_EQ(rec->mmcssTask, "Pro Audio");
        EXPECT_EQ(rec->mmcssPriority, AVRT_PRIORITY_CRITICAL);
    }
    EXPECT_EQ(machine.HandleCount("AvrtTask"), 1u);
    ASSERT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(rec->mmcssJoined);
    EXPECT_EQ(rec->mmcssTask, "");
    EXPECT_EQ(machine.HandleCount("AvrtTask"), 0u);
    CloseHandle(t);

    DWORD index = 0;
    EXPECT_EQ(AvSetMmThreadCharacteristicsA("Pro Audio Deluxe", &index), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_TASK_NAME));
    EXPECT_FALSE(AvSetMmThreadPriority(reinterpret_cast<HANDLE>(0x1234), AVRT_PRIORITY_HIGH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

int ComCount(sim::Machine& machine) {
    std::lock_guard lock(machine.Mutex());
    return machine.CurrentThread()->comInitCount;
}

TEST(Com, ApartmentModelIsFixedUntilTheLastUninitialize) {
    sim::Machine machine;
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(ComCount(machine), 2);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(ComCount(machine), 0);
    CoUninitialize();  // unbalanced: ignored
    EXPECT_EQ(ComCount(machine), 0);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);

    machine.InjectFailure("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(ComCount(machine), 1);
    CoUninitialize();
}

}  // namespace
