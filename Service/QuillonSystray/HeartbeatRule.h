// The heartbeat rule: the tray counts its command-block heartbeat up once a second and the service copies
// it into the status block's echo on every pass of its loop. The two stay within a few counts of each
// other while the service answers; once they are more than five apart, in either direction, the service
// is taken to be lost.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kHeartbeatTolerance = 5;

// How far apart the tray's counter and the service's echo are: the absolute value of their signed 32-bit
// difference. Computed on unsigned values, so the one difference whose absolute value has no signed
// 32-bit form (-2^31) comes out as 2^31 rather than overflowing.
std::uint32_t HeartbeatDistance(std::uint32_t counter, std::uint32_t echo);

// Whether the service has stopped answering.
bool HeartbeatLost(std::uint32_t counter, std::uint32_t echo);
