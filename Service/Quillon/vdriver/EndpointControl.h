// Naming, showing and hiding of the virtual driver's sixteen endpoints, together with the driver's
// enable and disable requests.
#pragma once

#include "platform/win32.h"

class CConsoleSupervisor;
class CVirtualDriverChannel;

// The fixed jack-subtype GUID string of a stream index (how the driver marks its endpoints).
const WCHAR* JackSubtypeString(int index);

// Learns the endpoint identifier of each stream index; true.
bool RefreshEndpointIds(CVirtualDriverChannel& channel);

// Names the endpoints of stream `index` after its console channel; leaves the supervisor's
// rename-pending flag set while naming has not completed.
void RenameEndpoint(CConsoleSupervisor& supervisor, int index);

// Shows the endpoint when the attached console model has that channel, and enables the driver stream.
void ShowEndpoint(CConsoleSupervisor& supervisor, int index);

// Hides the endpoint and disables the driver stream, for any index.
void HideEndpoint(CConsoleSupervisor& supervisor, int index);
