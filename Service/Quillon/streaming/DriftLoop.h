// How far the console's clock and the virtual driver's run apart, and the loop that steers a resampler
// to follow it. Pure arithmetic on moments and levels the routing measures; tests drive it without
// threads or clocks.
#pragma once

#include <cstdint>

// The drift, from pairs of moments the routing sees: the arrival of a console block and the driver's
// period boundary that ended a wait during it. With the block count and the period count between pairs,
// each pair gives the phase between the two clocks; the drift is that phase's slope over time (least
// squares over the pairs since the bridge opened, or since a pair fell off the line), relative: +1e-6 means the console's clock runs one
// part per million faster than the driver's.
class CDriftEstimate {
public:
    // `period`: the nominal period of both clocks (a console block, a driver period), in seconds.
    void Reset(double period);
    // A block's arrival and the boundary seen during it (seconds, one time base), and the block's number.
    void Add(double blockTime, std::uint64_t block, double boundaryTime);
    double Span() const { return m_Count ? m_LastTime - m_FirstTime : 0.0; }  // seconds the pairs cover
    std::uint32_t Count() const { return m_Count; }
    double Drift() const;
    // The drift's standard error, from the pairs' scatter about the line (infinite below three pairs):
    // a drift within a few of these of zero may be the readings' own noise.
    double DriftError() const;

private:
    double Phase(double x) const;  // the fitted phase at time x

    double m_Period = 0;
    std::uint32_t m_Count = 0;
    double m_FirstTime = 0, m_LastTime = 0, m_LastBoundary = 0;
    std::uint64_t m_FirstBlock = 0;
    std::int64_t m_Boundaries = 0;  // driver periods since the first pair
    std::uint32_t m_Outliers = 0;   // pairs off the line in a row
    double m_Sx = 0, m_Sy = 0, m_Sxx = 0, m_Sxy = 0, m_Syy = 0;
};

// A proportional-integral loop on a queue's level: each update takes the level's error in periods
// (positive: more queued than wanted) and gives the resampler's step (input frames per output frame).
// Its integral is the drift it has learned. The loop is wide (1 Hz) for its first two seconds, then
// narrow (0.005 Hz): it locks quickly, then holds a step steady to a few parts in a billion, since every
// wobble of the step is a wobble of every path's phase (the crystals themselves drift far slower).
class CDriftLoop {
public:
    // `step`: the step the measured drift gives; `rate`: updates per second.
    void Start(double step, double rate);
    // `error`: the level's error in periods; `reference`: the step an estimate of the drift gives (0:
    // none), which the loop takes as what it learned when it narrows.
    double Update(double error, double reference = 0);
    double Step() const { return m_Step; }
    double Integral() const { return m_Integral; }
    // Locked once the error has stayed within a tenth of a period for a quarter of a second.
    bool Locked() const { return m_Locked; }

private:
    // A reference further from 1 than two crystals each a thousandth off is no drift.
    static constexpr double kMinReference = 0.998, kMaxReference = 1.002;
    double m_Rate = 500;
    double m_Integral = 1, m_Step = 1;
    double m_Filtered = 0;  // the error, smoothed
    std::uint64_t m_Updates = 0;
    std::uint32_t m_Steady = 0;
    bool m_Locked = false;
};
