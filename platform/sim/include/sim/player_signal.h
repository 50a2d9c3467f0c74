// The identifying signal the driver's applications play into its render endpoints. Into render stream s
// (11 to 15), channel ch (0 left, 1 right), machine frame m (the machine clock's frames at 48 kHz), an
// application plays (v + 0.5) / 32768 with v = (2 x (s - 11) + ch + 1) x 2048 + (m mod 2048). Whatever
// integer depth the console's render pin takes, v stays recoverable as floor(integer / 2^(bits - 16)),
// and v / 2048 - 1 is the console channel the routing must deliver it to.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

inline constexpr std::uint32_t kPlayerPhases = 2048;

// The sample an application plays into render stream `stream`, channel `channel`, at machine frame `frame`.
float PlayerSample(unsigned stream, unsigned channel, std::uint64_t frame);

// Fills `frames` interleaved frames of `channels` channels (only the first two carry the signal, the rest
// are silence) from machine frame `first` on: a Player of the virtual audio driver.
void FillPlayerSignal(unsigned stream, std::uint64_t first, std::uint32_t channels, float* samples,
                      std::uint32_t frames);

// What a sample of the player signal identifies.
struct PlayerSampleId {
    unsigned stream;       // 11 to 15
    unsigned channel;      // 0 or 1
    std::uint32_t phase;   // the machine frame mod 2048 at which the application played it
    // The console render channel the offset table sends it to (0 to 9).
    unsigned ConsoleChannel() const { return 2 * (stream - 11) + channel; }
    bool operator==(const PlayerSampleId&) const = default;
};

// Recovers the sample's identity from the integer a console render pin received, left-justified in 32
// bits (the pin's sample shifted up to bit 31; v is then word >> 16). Nothing for silence or a value the
// signal never carries.
std::optional<PlayerSampleId> RecoverPlayerWord(std::int32_t word);

// The same from a float as the application played it (or as the console's float pin received it).
std::optional<PlayerSampleId> RecoverPlayerSample(float value);

}  // namespace sim
