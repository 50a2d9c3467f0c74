// The simulated machine's Win32 subset: types, records and functions with the SDK's names.
#pragma once
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/types.h"
#include "platform/sim/include/simwin/shell.h"
#include "platform/sim/include/simwin/com.h"
#include "platform/sim/include/simwin/hid.h"
