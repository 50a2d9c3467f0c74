// The service entry of the conformance program (see ServiceProgram in conformance.h); both builds.
#include "tests/conformance/conformance.h"

namespace conformance {
namespace {
ProgramEntry g_entry = nullptr;
}  // namespace

ServiceProgram::ServiceProgram(ProgramEntry entry) { g_entry = entry; }

ProgramEntry RegisteredServiceProgram() { return g_entry; }

}  // namespace conformance
