// Defines, once for the whole service, the COM class and interface identifiers and the property keys that
// no import library carries (the MMDevice API, endpoint volume, device topology, the policy-configuration
// object, PKEY_/DEVPKEY_ values). Elsewhere they are declarations only.
#define QUILLON_DEFINE_GUIDS
#include "platform/win32.h"
