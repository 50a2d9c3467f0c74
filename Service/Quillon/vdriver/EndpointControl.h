// Naming, showing and hiding of the virtual driver's sixteen endpoints in the Windows endpoint store,
// together with the driver's enable and disable requests, and the search for a console pin's own
// endpoint (its volume control and the container identifier of the physical device).
//
// Everything runs on the calling thread, which has entered a COM apartment; nothing here logs.
#pragma once

#include <cstddef>

#include "platform/win32.h"

class CConsoleSupervisor;
class CVirtualDriverChannel;

// One row of the endpoint channel table (single-byte strings).
struct EndpointChannel {
    const char* m_pszDataFlowKey;  // "Capture" or "Render"
    const char* m_pszMatchKey;     // found, case-blind, in the endpoint's match-key value
    const char* m_pszDisplayName;  // the name the endpoint is given
};

inline constexpr int kNoStreamIndex = 16;

// Row `index` (0-15) of the endpoint channel table; null for other indices.
const EndpointChannel* EndpointChannelRow(int index);

// The fixed jack-subtype GUID string of a stream index (how the driver marks its endpoints).
const WCHAR* JackSubtypeString(int index);

// Learns the endpoint identifier of each stream index from the driver's device node and the endpoint
// store; true. Does nothing on a closed channel.
bool RefreshEndpointIds(CVirtualDriverChannel& channel);

// The stream index (0-15) of the driver endpoint whose device instance is `childId`, looked up below
// `storeRoot` in its data-flow key `dataFlowKey` (UTF-16 "Capture" or "Render"); 16 when none.
int FindStreamForEndpoint(const CVirtualDriverChannel& channel, const WCHAR* childId, HKEY storeRoot,
                          const WCHAR* dataFlowKey);

// Names the endpoints of stream `index` after its console channel, in the registry and through the
// property store, and reads every name back; leaves the supervisor's rename-pending flag set while
// naming has not completed.
void RenameEndpoint(CConsoleSupervisor& supervisor, int index);

// Sets the device description of every endpoint whose endpoint GUID is `endpointKeyName` to `name`
// through its property store; true when at least one was found and every one read back the name.
bool RenameInPropertyStore(const char* endpointKeyName, const char* name);

// Shows the endpoint when the attached console model has that channel, and enables the driver stream.
void ShowEndpoint(CConsoleSupervisor& supervisor, int index);

// Hides the endpoint and disables the driver stream, for any index.
void HideEndpoint(CConsoleSupervisor& supervisor, int index);

// Finds the active endpoint of data flow `dataFlow` (eRender or eCapture) whose identifier occurs in one
// of the `count` candidate strings (the console filter's bus relations). *volume receives its endpoint
// volume (the caller releases it) or null; *containerId the container identifier of the device its
// topology connects to, or all zero when none was found.
void FindConsoleEndpoint(int dataFlow, const WCHAR* const* candidates, std::size_t count,
                         IAudioEndpointVolume** volume, GUID* containerId);
