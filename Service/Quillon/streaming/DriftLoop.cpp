#include "Service/Quillon/streaming/DriftLoop.h"

#include <algorithm>
#include <cmath>
#include <limits>

void CDriftEstimate::Reset(double period) {
    *this = CDriftEstimate{};
    m_Period = period;
}

void CDriftEstimate::Add(double blockTime, std::uint64_t block, double boundaryTime) {
    if (m_Period <= 0) return;
    const std::int64_t boundaries = m_Boundaries;
    const double lastBoundary = m_LastBoundary, lastTime = m_LastTime;
    if (m_Count == 0) {
        m_FirstTime = blockTime;
        m_FirstBlock = block;
        m_Boundaries = 0;
    } else {
        // Boundaries come one to a few periods apart: the count between two pairs rounds exactly.
        const double periods = std::round((boundaryTime - m_LastBoundary) / m_Period);
        if (periods < 1) return;  // the same boundary seen twice, or an event left from before
        m_Boundaries += static_cast<std::int64_t>(periods);
    }
    m_LastBoundary = boundaryTime;
    m_LastTime = blockTime;
    // The phase between the clocks, less what the counts account for: constant while they agree.
    const double x = blockTime - m_FirstTime;
    const double counted = static_cast<double>(m_Boundaries - static_cast<std::int64_t>(block - m_FirstBlock));
    const double y = (boundaryTime - blockTime) - counted * m_Period;
    // A phase far off the line so far is no drift. Once, it is a thread that woke late: the pair is left
    // out. Three times in a row, a block or a boundary was lost (a thread held, a queue overrun) and the
    // counts slipped: the estimate starts again from this pair.
    if (m_Count >= 3 && std::fabs(y - Phase(x)) > m_Period / 4) {
        if (++m_Outliers < 3) {
            // Counted from the pairs on the line, not from this one.
            m_Boundaries = boundaries;
            m_LastBoundary = lastBoundary;
            m_LastTime = lastTime;
            return;
        }
        const double period = m_Period;
        Reset(period);
        Add(blockTime, block, boundaryTime);
        return;
    }
    m_Outliers = 0;
    ++m_Count;
    m_Sx += x;
    m_Sy += y;
    m_Sxx += x * x;
    m_Sxy += x * y;
    m_Syy += y * y;
}

double CDriftEstimate::Phase(double x) const {
    const double n = m_Count;
    return n ? (m_Sy + Drift() * (n * x - m_Sx)) / n : 0.0;
}

double CDriftEstimate::Drift() const {
    const double n = m_Count;
    const double d = n * m_Sxx - m_Sx * m_Sx;
    if (m_Count < 3 || d <= 0) return 0.0;
    return (n * m_Sxy - m_Sx * m_Sy) / d;
}

double CDriftEstimate::DriftError() const {
    const double n = m_Count;
    const double sxx = m_Sxx - m_Sx * m_Sx / n;  // about the means
    if (m_Count < 3 || sxx <= 0) return std::numeric_limits<double>::infinity();
    const double slope = Drift();
    const double residual = std::max(0.0, m_Syy - m_Sy * m_Sy / n - slope * slope * sxx);
    return std::sqrt(residual / (n - 2) / sxx);
}

void CDriftLoop::Start(double step, double rate) {
    *this = CDriftLoop{};
    m_Integral = m_Step = step;
    m_Rate = rate > 0 ? rate : 500;
}

double CDriftLoop::Update(double error, double reference) {
    constexpr double kPi = 3.14159265358979323846;
    const std::uint64_t wideUpdates = static_cast<std::uint64_t>(2 * m_Rate);
    const double hz = m_Updates < wideUpdates ? 1.0 : 0.005;
    const double w = 2 * kPi * hz / m_Rate;  // natural frequency, radians per update
    constexpr double kDamping = 0.8;
    // Late readings leave the step the wide loop learned some ppm off (a second's readings a few frames
    // apart tell the drift no better), which the narrow loop would take minutes to unlearn, the level
    // off meanwhile. The estimate from the moments of blocks and boundaries has seen more: the loop
    // narrows from it.
    if (m_Updates == wideUpdates && reference >= kMinReference && reference <= kMaxReference) m_Integral = reference;
    ++m_Updates;
    // A level read a scheduling delay late (a thread that woke late) must not throw the step about: the
    // error is bounded and smoothed before the loop acts on it, since every change of the step moves
    // every path's phase. Wide, it is smoothed over sixteen updates. Once narrow, the loop moves the
    // level by a fraction of a frame a second, and the readings' own noise (a few frames of scheduling
    // delay) would be most of what moves the step: they are smoothed over two seconds, still far
    // quicker than the loop itself, and a reading far from the smoothed one is a late wake-up, limited to
    // a twentieth of a period from it.
    const bool narrow = hz < 1.0;
    const double bound = narrow ? 0.05 : 0.5;
    const double smoothing = narrow ? 2 * m_Rate : 16;
    const double centre = narrow ? m_Filtered : 0.0;
    m_Filtered += (std::clamp(error, centre - bound, centre + bound) - m_Filtered) / smoothing;
    m_Integral += w * w * m_Filtered;
    m_Step = m_Integral + 2 * kDamping * w * m_Filtered;
    if (std::fabs(error) < 0.1) {
        if (!m_Locked && ++m_Steady >= static_cast<std::uint32_t>(m_Rate / 4)) m_Locked = true;
    } else {
        m_Steady = 0;
    }
    return m_Step;
}
