#include "Service/Quillon/vdriver/EndpointControl.h"

#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"

namespace {

const WCHAR* const kJackSubtypes[kVirtualStreamCount] = {
    WSTR("{C6C5F546-7CBD-44dd-95DB-4FBB546DAF0F}"), WSTR("{56B0A54E-843E-4546-8D54-954E72E8490E}"),
    WSTR("{D7776638-9BFF-4355-9659-EADC6DAFEFEB}"), WSTR("{2B85B538-1EDB-48d9-A11F-C99ED4313EA9}"),
    WSTR("{43E8F4E1-70BA-4569-AC28-7B8342BFC3C3}"), WSTR("{B4219E46-A141-40d1-A69A-98EFB4A0DB94}"),
    WSTR("{E46A3D10-AAC3-48ce-BB1D-26B1728BCF89}"), WSTR("{44FC45C2-7ADC-4687-B4E7-79DE79C5CB1F}"),
    WSTR("{F4DC92B9-42C1-4b2f-A0C7-2CB98EF6B5DE}"), WSTR("{1188BBD7-ADE7-459c-A1FA-C5E1747E50DD}"),
    WSTR("{FE96DF93-78FA-4139-8551-169E3968B82C}"), WSTR("{545B6798-0E2B-4789-9868-A04EF6272DAE}"),
    WSTR("{44753EB7-176B-47b5-8966-553D6B25120F}"), WSTR("{65D7D69C-B502-42ba-90F8-8D1B1FEFD01F}"),
    WSTR("{89F338D9-857C-4e77-9807-D5723F4EFC14}"), WSTR("{30ED9466-BC60-4ebe-B514-F6D98F0B7BB2}"),
};

bool SendIndexRequest(const CVirtualDriverChannel& channel, DWORD code, int index) {
    DWORD local = DriverLocalIndex(index);
    DWORD returned = 0;
    return DeviceIoControl(channel.DeviceHandle(), code, &local, sizeof(local), nullptr, 0, &returned, nullptr) !=
           FALSE;
}

}  // namespace

const WCHAR* JackSubtypeString(int index) {
    return (index >= 0 && index < kVirtualStreamCount) ? kJackSubtypes[index] : nullptr;
}

bool RefreshEndpointIds(CVirtualDriverChannel&) {
    // The endpoint store walk arrives with endpoint naming; until then no identifier is known.
    return true;
}

void RenameEndpoint(CConsoleSupervisor& supervisor, int index) {
    if (index < 0 || index >= kVirtualStreamCount) return;
    // Without a known endpoint identifier naming cannot complete; the loop retries it.
    supervisor.m_RenamePending[index] = supervisor.m_Channel.m_pEndpointIds[index] == nullptr ? 1 : 0;
}

void ShowEndpoint(CConsoleSupervisor& supervisor, int index) {
    const CUSBDevice* model = supervisor.m_pCurrentModel;
    if (!model || !model->UsesStream(index)) return;
    CVirtualDriverChannel& channel = supervisor.m_Channel;
    bool enabled = false;
    if (channel.IsOpen() && index >= 0 && index < kVirtualStreamCount)
        enabled = SendIndexRequest(channel, IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_ENABLE : IOCTL_VAD_RENDER_ENABLE,
                                   index);
    if (enabled) RefreshEndpointIds(channel);
    RenameEndpoint(supervisor, index);
}

void HideEndpoint(CConsoleSupervisor& supervisor, int index) {
    CVirtualDriverChannel& channel = supervisor.m_Channel;
    if (channel.IsOpen() && index >= 0 && index < kVirtualStreamCount)
        SendIndexRequest(channel, IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_DISABLE : IOCTL_VAD_RENDER_DISABLE,
                         index);
    if (index >= 0 && index < kVirtualStreamCount) supervisor.m_RenamePending[index] = 0;
}
