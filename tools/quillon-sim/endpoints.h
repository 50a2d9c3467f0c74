// The virtual driver's sixteen endpoints as quillon-sim names them everywhere (timeline, report, files,
// picture, session.json): the number and the name Sound settings shows for it, "10 Line 11". Until the
// Sound settings list has been read the names are the service's own ("10 Headset").
#pragma once

#include <array>
#include <mutex>
#include <string>

namespace quillon_sim {

class EndpointNames {
public:
    EndpointNames();
    // From the Sound settings watcher (host); read from any thread.
    void Set(unsigned endpoint, const std::string& name);
    std::string Name(unsigned endpoint) const;
    std::string Label(unsigned endpoint) const;  // "01 Combo1"
    // "capture 01 Combo1 L" / "render 11 System R".
    std::string PathLabel(unsigned stream, unsigned channel) const;
    // "capture-01-Combo1.wav" / "render-14-Virtual_A.wav" (a space or a character a file name should not
    // carry becomes _).
    std::string FileName(unsigned endpoint) const;

private:
    mutable std::mutex mutex_;
    std::array<std::string, 16> names_;
};

}  // namespace quillon_sim
