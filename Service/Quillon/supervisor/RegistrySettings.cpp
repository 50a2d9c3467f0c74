#include "Service/Quillon/supervisor/RegistrySettings.h"

#include "platform/win32.h"

namespace {

bool ReadDword(const char* keyPath, const char* name, std::uint32_t& value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    // Anything but a whole REG_DWORD (another type, a longer or a shorter value) counts as missing.
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data)) return false;
    value = data;
    return true;
}

}  // namespace

bool ReadSetting(const char* name, std::uint32_t& value) { return ReadDword(kSettingsKeyPath, name, value); }

std::uint32_t ReadKsLogLevel() {
    std::uint32_t level = 0;
    return ReadDword(kDiagnosticsKeyPath, kKsLogLevelValueName, level) ? level : 0;
}

std::uint32_t ReadDriftCorrection() {
    std::uint32_t value = 1;
    return ReadDword(kDiagnosticsKeyPath, kDriftCorrectionValueName, value) && value == 0 ? 0 : 1;
}

bool WriteSetting(const char* name, std::uint32_t value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD data = value;
    const LSTATUS status =
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}
