// The sine test signal: with it the console and every application play a 997 Hz sine at -6 dBFS (each
// channel at a phase of its own) instead of the identifying signals, so that a path the service resamples
// can be judged by what is left when the sine is taken away. A SineTrack follows one path's samples:
// where the sine breaks (a period lost or repeated, a gap of silence) and the THD+N of each clean window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/sim/include/sim/console_ks_descriptions.h"

namespace sim {

inline constexpr double kSineHz = 997.0;
inline constexpr double kSineAmplitude = 0.5;  // -6 dBFS

// Console capture channel `channel` at console frame `frame`.
double CaptureSine(unsigned channel, std::uint64_t frame);
// What an application plays into render stream `stream` (11 to 15), channel `channel`, at its frame `frame`.
double PlayerSine(unsigned stream, unsigned channel, std::uint64_t frame);

// The console's capture sine in the pin's format, every sample of `frames` frames (FillCapture calls it).
void WriteCaptureSine(BYTE* data, std::uint64_t first, std::uint32_t frames, const KsWaveFormat& format);
// A player of the sine (as FillPlayerSignal): the first two channels carry it, the rest are silence.
void FillPlayerSine(unsigned stream, std::uint64_t first, std::uint32_t channels, float* samples, std::uint32_t frames);

// THD+N of `count` samples of a sine near `omega` radians per sample: the sine fitted by least squares
// (amplitude, phase, offset and frequency), and what is left against it, in dB. 0 for fewer than 64 samples.
double SineThdPlusNoiseDb(const float* samples, std::size_t count, double omega);

class SineTrack {
public:
    enum class Event { None, Started, Stopped, Broke };
    // Frames of silence that part two runs (a bridge closed between them); a shorter gap is a break.
    static constexpr std::uint32_t kRunGap = 2'400;
    // Frames after a start before windows count (the service settles on the clocks), and per window.
    static constexpr std::uint32_t kSettle = 3 * 48'000;
    static constexpr std::uint32_t kWindow = 16'384;
    // One window measured in every so many (the fit costs more than the rest of the session).
    static constexpr std::uint32_t kWindowEvery = 8;

    Event Add(float x);
    std::uint32_t Windows() const { return windows_; }
    double WorstDb() const { return worstDb_; }  // over the windows so far (0 before any)

private:
    double x1_ = 0, x2_ = 0;
    std::uint64_t running_ = 0;  // samples since the run started or last broke
    std::uint32_t silent_ = 0;   // zeros in a row
    bool inRun_ = false;
    std::vector<float> window_;
    std::uint32_t windows_ = 0;
    std::uint64_t passed_ = 0;  // windows gathered, measured or not
    double worstDb_ = 0;
};

}  // namespace sim
