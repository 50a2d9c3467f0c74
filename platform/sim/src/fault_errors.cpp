#include "platform/sim/include/sim/fault_errors.h"

#include <map>

namespace sim {
namespace {

// Codes the Win32 headers of this machine do not spell.
constexpr DWORD kErrorNoSuchDevice = 433;                // ERROR_NO_SUCH_DEVICE
constexpr DWORD kErrorPrivilegeNotHeld = 1314;           // ERROR_PRIVILEGE_NOT_HELD
constexpr DWORD kErrorNoSystemResources = 1450;          // ERROR_NO_SYSTEM_RESOURCES
constexpr DWORD kErrorCommitmentLimit = 1455;            // ERROR_COMMITMENT_LIMIT
constexpr DWORD kAudclntDeviceInvalidated = 0x88890004;  // AUDCLNT_E_DEVICE_INVALIDATED
constexpr DWORD kCoServerExecFailure = 0x80080005;       // CO_E_SERVER_EXEC_FAILURE
constexpr DWORD kRpcDisconnected = 0x80010108;           // RPC_E_DISCONNECTED
constexpr DWORD kEOutOfMemory = 0x8007000E;              // E_OUTOFMEMORY
constexpr DWORD kEAccessDenied = 0x80070005;             // E_ACCESSDENIED
constexpr DWORD kENotFound = 0x80070490;                 // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

struct Entry {
    std::vector<DWORD> errors;
    bool blocks = false;
    bool onlyForBadArguments = false;
};

const std::map<std::string, Entry>& Table() {
    static const std::map<std::string, Entry> table = {
        // Kernel objects, threads and waits. A wait fails only for a handle that is not (or no longer) one.
        {"CreateEventW", {{ERROR_NOT_ENOUGH_MEMORY, kErrorNoSystemResources}}},
        {"_beginthreadex", {{ERROR_NOT_ENOUGH_MEMORY}}},
        {"WaitForSingleObject", {{ERROR_INVALID_HANDLE}, true, true}},
        {"WaitForMultipleObjects", {{ERROR_INVALID_HANDLE}, true, true}},
        {"DuplicateHandle", {{ERROR_NOT_ENOUGH_MEMORY, kErrorNoSystemResources}}},
        {"CloseHandle", {}},
        // Shared memory.
        {"CreateFileMappingA", {{ERROR_ACCESS_DENIED, kErrorCommitmentLimit}}},
        {"OpenFileMappingA", {{ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}}},
        {"MapViewOfFile", {{ERROR_NOT_ENOUGH_MEMORY}}},
        {"UnmapViewOfFile", {}},
        {"ConvertStringSecurityDescriptorToSecurityDescriptorA", {{ERROR_NOT_ENOUGH_MEMORY}}},
        // Modules and resources.
        {"LoadLibraryW", {{ERROR_MOD_NOT_FOUND}}},
        {"LoadLibraryExW", {{ERROR_MOD_NOT_FOUND}}},
        {"GetProcAddress", {{ERROR_PROC_NOT_FOUND}}},
        {"GetModuleHandleW", {{ERROR_MOD_NOT_FOUND}}},
        {"FreeLibrary", {}},
        {"FindResourceW", {{ERROR_RESOURCE_TYPE_NOT_FOUND}}},
        {"LoadResource", {{ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"SizeofResource", {{ERROR_RESOURCE_DATA_NOT_FOUND}}},
        {"VerQueryValueW", {{ERROR_RESOURCE_TYPE_NOT_FOUND}}},
        {"OutputDebugStringW", {}},
        // Text conversion fails on valid input only for want of room.
        {"WideCharToMultiByte", {{ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION}}},
        {"MultiByteToWideChar", {{ERROR_INSUFFICIENT_BUFFER, ERROR_NO_UNICODE_TRANSLATION}}},
        // Multimedia class scheduler.
        {"AvSetMmThreadCharacteristicsA", {{kErrorPrivilegeNotHeld, ERROR_INVALID_TASK_NAME}}},
        {"AvSetMmThreadCharacteristicsW", {{kErrorPrivilegeNotHeld, ERROR_INVALID_TASK_NAME}}},
        {"AvSetMmThreadPriority", {{ERROR_INVALID_HANDLE}}},
        {"AvRevertMmThreadCharacteristics", {}},
        // Registry: keys vanish (an endpoint removed meanwhile) or are closed to the caller.
        {"RegOpenKeyExA", {{ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}}},
        {"RegOpenKeyExW", {{ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}}},
        {"RegCreateKeyExA", {{ERROR_ACCESS_DENIED}}},
        {"RegCreateKeyExW", {{ERROR_ACCESS_DENIED}}},
        {"RegQueryValueExA", {{ERROR_FILE_NOT_FOUND}}},
        {"RegQueryValueExW", {{ERROR_FILE_NOT_FOUND}}},
        {"RegGetValueA", {{ERROR_FILE_NOT_FOUND}}},
        {"RegGetValueW", {{ERROR_FILE_NOT_FOUND}}},
        {"RegSetValueExA", {{ERROR_ACCESS_DENIED}}},
        {"RegSetValueExW", {{ERROR_ACCESS_DENIED}}},
        {"RegEnumKeyExA", {{ERROR_KEY_DELETED}}},
        {"RegEnumKeyExW", {{ERROR_KEY_DELETED}}},
        {"RegCloseKey", {}},
        // Service control manager.
        {"RegisterServiceCtrlHandlerExW", {{ERROR_NOT_ENOUGH_MEMORY}}},
        // SetupAPI: the device tree changes under an enumeration.
        {"SetupDiGetClassDevsW", {{ERROR_NOT_ENOUGH_MEMORY}, true}},
        {"SetupDiEnumDeviceInterfaces", {{ERROR_NO_MORE_ITEMS, ERROR_NOT_ENOUGH_MEMORY}}},
        {"SetupDiEnumDeviceInfo", {{ERROR_NO_MORE_ITEMS, ERROR_NOT_ENOUGH_MEMORY}}},
        {"SetupDiGetDeviceInterfaceDetailW", {{kErrorNoSuchDevice}}},
        {"SetupDiGetDeviceInterfaceAlias", {{ERROR_NO_SUCH_INTERFACE_DEVICE}}},
        {"SetupDiGetDevicePropertyW", {{ERROR_NOT_FOUND}}},
        {"SetupDiOpenDeviceInterfaceRegKey", {{ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}}},
        {"SetupDiDestroyDeviceInfoList", {}},
        // Devices: opened by someone else, gone, or failing a request.
        {"CreateFileW", {{ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}, true}},
        {"DeviceIoControl", {{ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED}, true}},
        {"ReadFile", {{ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE}, true}},
        {"WriteFile", {{ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE}, true}},
        // The request's own failure, reported once it has completed.
        {"GetOverlappedResult", {{ERROR_DEVICE_NOT_CONNECTED, ERROR_OPERATION_ABORTED}, true}},
        {"CancelIo", {}},
        {"KsCreatePin", {{kErrorNoSystemResources, ERROR_DEVICE_NOT_CONNECTED}, true}},
        {"KsCreatePin2", {{kErrorNoSystemResources, ERROR_DEVICE_NOT_CONNECTED}, true}},
        // HID.
        {"HidD_GetHidGuid", {}},
        {"HidD_GetAttributes", {{ERROR_DEVICE_NOT_CONNECTED}, true}},
        {"HidD_GetPreparsedData", {{ERROR_NOT_ENOUGH_MEMORY, ERROR_DEVICE_NOT_CONNECTED}, true}},
        {"HidD_GetSerialNumberString", {{ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED}, true}},
        {"HidP_GetCaps", {{ERROR_INVALID_DATA}}},
        // COM and the audio service's objects: out of memory, the audio service not answering, an
        // endpoint removed while in use.
        {"CoInitializeEx", {{kEOutOfMemory}}},
        {"CoCreateInstance", {{kCoServerExecFailure, kEOutOfMemory}, true}},
        {"CoTaskMemAlloc", {{kEOutOfMemory}}},
        {"IMMDeviceEnumerator::EnumAudioEndpoints", {{kEOutOfMemory, kRpcDisconnected}, true}},
        {"IMMDeviceEnumerator::GetDevice", {{kENotFound, kRpcDisconnected}, true}},
        {"IMMDeviceCollection::GetCount", {{kRpcDisconnected}, true}},
        {"IMMDeviceCollection::Item", {{kAudclntDeviceInvalidated}, true}},
        {"IMMDevice::Activate", {{kAudclntDeviceInvalidated, kEOutOfMemory}, true}},
        {"IMMDevice::OpenPropertyStore", {{kAudclntDeviceInvalidated, kEAccessDenied}, true}},
        {"IMMDevice::GetId", {{kEOutOfMemory}, true}},
        {"IPropertyStore::GetCount", {{kAudclntDeviceInvalidated}, true}},
        {"IPropertyStore::GetValue", {{kAudclntDeviceInvalidated, kEOutOfMemory}, true}},
        {"IPropertyStore::SetValue", {{kEAccessDenied, kAudclntDeviceInvalidated}, true}},
        {"IPropertyStore::Commit", {{kEAccessDenied, kAudclntDeviceInvalidated}, true}},
        {"IDeviceTopology::GetConnector", {{kAudclntDeviceInvalidated}, true}},
        {"IConnector::GetDeviceIdConnectedTo", {{kENotFound, kAudclntDeviceInvalidated}, true}},
        {"IPolicyConfig::SetEndpointVisibility", {{kENotFound, kRpcDisconnected}, true}},
    };
    return table;
}

}  // namespace

std::vector<DWORD> RealisticErrors(const std::string& function) {
    auto it = Table().find(function);
    return it == Table().end() ? std::vector<DWORD>{} : it->second.errors;
}

bool CanBlock(const std::string& function) {
    auto it = Table().find(function);
    return it != Table().end() && it->second.blocks;
}

bool FailsOnlyForBadArguments(const std::string& function) {
    auto it = Table().find(function);
    return it != Table().end() && it->second.onlyForBadArguments;
}

bool KnownToFaultTable(const std::string& function) { return Table().count(function) != 0; }

}  // namespace sim
