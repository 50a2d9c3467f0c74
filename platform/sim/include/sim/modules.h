// Modules of the simulated machine: the image module of each started process (with its VS_VERSIONINFO
// resource) and the system libraries the programs load by name, with their exports.
//
// Libraries: "Avrt.dll" (the MMCSS calls; resident, as the programs import it statically) and
// "ksuser.dll" (KsCreatePin, KsCreatePin2; loaded on demand). Library names are case-insensitive and
// may carry a directory or omit ".dll"; export names are case-sensitive. GetProcAddress returns the
// very functions api.h declares, so a call through the pointer and a direct call reach one
// implementation. Load counts are kept per library for the whole machine.
//
// HMODULE values are fake base addresses that are never reused, so a stale module handle is detected
// instead of aliasing a newer module.
#pragma once
#include <optional>
#include <set>

#include "platform/sim/include/sim/machine.h"

namespace sim {

class Modules {
public:
    explicit Modules(Machine& machine);
    ~Modules();

    // The image module of a started process, with its version resource.
    HMODULE AddImage(const std::string& name, const WORD version[4], bool hasVersionResource);
    void RemoveImage(HMODULE image);
    HMODULE Image(const std::string& name);  // a live image module of that name, or null

    // Replaces an image's version resource, e.g. with a truncated or corrupted blob; empty removes it.
    bool SetVersionResource(HMODULE image, std::vector<BYTE> bytes);
    // The VS_VERSIONINFO blob AddImage gives an image: file and product version `version`.
    static std::vector<BYTE> BuildVersionResource(const WORD version[4]);

    // LoadLibraryW (and GetModuleHandleW) of a removed library fail with ERROR_MOD_NOT_FOUND; a removed
    // export makes GetProcAddress fail with ERROR_PROC_NOT_FOUND, also on a module already loaded.
    bool RemoveLibrary(const std::string& name);
    bool RemoveExport(const std::string& library, const std::string& name);
    void RestoreAll();
    // LoadLibraryW calls not yet balanced by FreeLibrary.
    int LoadCount(const std::string& library);

    // Win32 side.
    struct Module;
    HMODULE Load(LPCWSTR name);
    BOOL Free(HMODULE module);
    FARPROC ProcAddress(HMODULE module, LPCSTR name);
    HMODULE Handle(LPCWSTR name);
    HRSRC FindResource(HMODULE module, LPCWSTR name, LPCWSTR type);
    HGLOBAL LoadResource(HMODULE module, HRSRC resource);
    DWORD SizeofResource(HMODULE module, HRSRC resource);
    // The size of a resource's data given its address (LockResource), 0 when it is not one.
    std::size_t KnownBlockSize(LPCVOID block);

private:
    // Lock held.
    Module* ByHandleLocked(HMODULE handle);
    Module* LibraryLocked(const std::string& name);
    HMODULE CurrentImageLocked(Process* process);

    Machine& machine_;
    std::vector<std::unique_ptr<Module>> modules_;
    ULONG_PTR nextBase_ = 0x7FF6'0000'0000;
};

}  // namespace sim
