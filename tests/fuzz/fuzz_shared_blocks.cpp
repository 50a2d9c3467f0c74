// The two shared blocks as the tray and the service see them, and the registry settings the service
// reads, from fuzz input: the service and the tray run on one machine with the virtual driver; the
// settings values have any type and size; then, pass after pass, any 204 bytes are written over the
// status block (as a rogue service would) and the command block (as a rogue tray would) while both
// programs read them. Both must keep running, and stop and quit within their bounded waits.
//
// Keys: 40 "Enable", 41 "Latency", 42 the KS log level (mode: the registry type, bytes: the data);
// 43 status block contents, 44 command block contents (bytes over the block's start; mode: how many
// 10 ms steps the machine then runs, 45 the tray's menu opened and dismissed when present).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "Service/common/SharedMemory.h"
#include "tests/fuzz/FuzzAnswers.h"
#include "tests/fuzz/FuzzDriver.h"
#include "tests/fuzz/FuzzRepeat.h"
#include "tests/harness/Programs.h"
#include "tests/harness/Tray.h"

namespace {

void SetValue(const char* keyPath, const char* name, const fuzz::Answer* value) {
    if (!value) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, value->mode % 12, value->bytes.empty() ? nullptr : value->bytes.data(),
                   static_cast<DWORD>(value->bytes.size()));
    RegCloseKey(key);
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_shared_blocks: %s\n", what);
    std::abort();
}

void Overwrite(QuillonSharedBlock* view, const fuzz::Answer& a) {
    if (view && !a.bytes.empty()) std::memcpy(view, a.bytes.data(), std::min<std::size_t>(a.bytes.size(), kSharedBlockSize));
}

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    fuzz::InstallDriver(driver);
    SetValue(kSettingsKeyPath, kEnableValueName, answers.Next(40));
    SetValue(kSettingsKeyPath, kLatencyValueName, answers.Next(41));
    SetValue(kDiagnosticsKeyPath, kKsLogLevelValueName, answers.Next(42));
    harness::InstallService(machine);
    if (!harness::StartService(machine)) Fail("the service did not start");
    auto tray = harness::StartTray(machine);
    {
        // The host's own views of the blocks the service created.
        CSharedMemoryWriter status(SharedMemorySide::Open, kStatusBlockName, kReadWriteAccess);
        CSharedMemoryWriter command(SharedMemorySide::Open, kCommandBlockName, kReadWriteAccess);
        for (int pass = 0; pass < 16 && (answers.Has(43) || answers.Has(44)); ++pass) {
            const fuzz::Answer* s = answers.Next(43);
            const fuzz::Answer* c = answers.Next(44);
            if (s) Overwrite(status.m_pView, *s);
            if (c) Overwrite(command.m_pView, *c);
            machine.RunFor(10 * (1 + ((s ? s->mode : 0) + (c ? c->mode : 0)) % 64));
            if (answers.Next(45)) harness::TrayMenuText(machine);
        }
    }
    if (!machine.WaitProcess(tray, 0) && !harness::QuitTray(machine, tray)) Fail("the tray did not quit");
    if (!harness::StopService(machine)) Fail("the service did not stop");
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
