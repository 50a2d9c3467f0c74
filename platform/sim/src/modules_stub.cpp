// Temporary: replaced by the modules implementation.
#include "platform/sim/include/sim/modules.h"
namespace sim {
HMODULE Modules::AddImage(const std::string&, const WORD[4], bool) { static int image; return reinterpret_cast<HMODULE>(&image); }
void Modules::RemoveImage(HMODULE) {}
}
