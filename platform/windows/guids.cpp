// Storage for the device property keys (DEVPKEY_*) that devpkey.h declares extern only: no import
// library holds them. The definitions are selectany, so another such file would not clash.
#include <windows.h>

#include <initguid.h>

#include <devpkey.h>
