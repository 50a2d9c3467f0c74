#include "Service/QuillonSystray/HeartbeatRule.h"

std::uint32_t HeartbeatDistance(std::uint32_t counter, std::uint32_t echo) {
    const std::uint32_t ahead = counter - echo;  // modulo 2^32
    const std::uint32_t behind = echo - counter;
    return ahead < behind ? ahead : behind;
}

bool HeartbeatLost(std::uint32_t counter, std::uint32_t echo) {
    return HeartbeatDistance(counter, echo) > kHeartbeatTolerance;
}
