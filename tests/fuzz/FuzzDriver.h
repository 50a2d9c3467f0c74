// The virtual driver as the harnesses install it. Two things a fuzz input would otherwise pay for on
// every run and that no harness here looks at:
// - four of its sixteen endpoints (the first and last capture and render streams): the service's
//   endpoint walks visit every store key once per driver child, so they cost a few keys per input rather
//   than a few hundred; the four still take the walk through both flows and through the jack-subtype
//   table's first and last rows;
// - a clock that ticks only while an application streams (none does here): a free clock would move every
//   stream's buffers each half period for as long as the virtual time the service waits through.
#pragma once

#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace fuzz {

inline constexpr std::uint32_t kDriverEndpointStreams = (1u << 0) | (1u << 10) | (1u << 11) | (1u << 15);

inline void InstallDriver(sim::VirtualAudioDriver& driver) {
    driver.SetClock(sim::DriverClock::Idle);
    driver.Install(kDriverEndpointStreams);
}

}  // namespace fuzz
