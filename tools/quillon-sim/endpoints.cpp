// quillon-sim's endpoint names.
#include "tools/quillon-sim/endpoints.h"

#include <cstdio>

namespace quillon_sim {

namespace {

// The names the service gives the driver's endpoints, by stream index.
const char* const kServiceNames[16] = {"System",   "Combo1",   "Combo2", "Combo3",  "Combo4",    "Bluetooth",
                                       "PadBank",  "USB1Main", "USB1Chat", "USB2",  "Headset",   "System",
                                       "Game",     "Music",    "Virtual A", "Virtual B"};

}  // namespace

EndpointNames::EndpointNames() {
    for (unsigned n = 0; n < names_.size(); ++n) names_[n] = kServiceNames[n];
}

void EndpointNames::Set(unsigned endpoint, const std::string& name) {
    std::lock_guard lock(mutex_);
    if (endpoint < names_.size() && !name.empty()) names_[endpoint] = name;
}

std::string EndpointNames::Name(unsigned endpoint) const {
    std::lock_guard lock(mutex_);
    return endpoint < names_.size() ? names_[endpoint] : "?";
}

std::string EndpointNames::Label(unsigned endpoint) const {
    char number[8];
    std::snprintf(number, sizeof number, "%02u ", endpoint);
    return number + Name(endpoint);
}

std::string EndpointNames::PathLabel(unsigned stream, unsigned channel) const {
    return std::string(stream < 11 ? "capture " : "render ") + Label(stream) + (channel ? " R" : " L");
}

std::string EndpointNames::FileName(unsigned endpoint) const {
    std::string name = Name(endpoint);
    for (char& c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.'))
            c = '_';
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%s-%02u-", endpoint < 11 ? "capture" : "render", endpoint);
    return prefix + name + ".wav";
}

}  // namespace quillon_sim
