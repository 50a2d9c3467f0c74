// The virtual driver as the harnesses install it: four of its sixteen endpoints (the first and last
// capture and render streams), so the service's endpoint walks, which visit every store key once per
// driver child, cost a few keys per input rather than a few hundred. The four still take the walk through
// both flows and through the jack-subtype table's first and last rows.
#pragma once

#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace fuzz {

inline constexpr std::uint32_t kDriverEndpointStreams = (1u << 0) | (1u << 10) | (1u << 11) | (1u << 15);

inline void InstallDriver(sim::VirtualAudioDriver& driver) { driver.Install(kDriverEndpointStreams); }

}  // namespace fuzz
