// What a real Windows system answers when one of its calls fails for reasons outside the caller's hands
// (memory, kernel resources, a device going away, access, a service not answering): the table the
// systematic fault injection draws its errors from (Machine::SetCallObserver).
#pragma once

#include <string>
#include <vector>

#include "platform/sim/include/simwin/types.h"

namespace sim {

// The errors the named call gives, most common first, in the form its simulated function reports an
// injected error: a Win32 error (returned, or through GetLastError), an NTSTATUS-like HID status is
// reported by the function itself, and for COM an HRESULT (severity bit set). Empty for a call that does
// not fail on valid arguments (closing or freeing what the caller holds, debug output, calls without a
// failure result) and for a name the table does not know.
std::vector<DWORD> RealisticErrors(const std::string& function);

// Whether the call can hold its thread for a long time on a real system: waits, device opens and device
// I/O, device-tree enumeration, and COM calls that go into the audio service.
bool CanBlock(const std::string& function);

// Whether the call fails only when the caller passes what it must not (a wait on a handle that is not
// one): its errors are what such a call reports, but no system makes a correct call fail that way.
bool FailsOnlyForBadArguments(const std::string& function);

// Whether the table has an entry for the call (an empty error list then means "does not fail").
bool KnownToFaultTable(const std::string& function);

}  // namespace sim
