// quillon-sim's recording of the session's audio.
#include "tools/quillon-sim/recording.h"

#include <algorithm>
#include <filesystem>

namespace quillon_sim {

const char* const kEndpointNames[16] = {"System",  "Combo1",   "Combo2",    "Combo3",   "Combo4",  "Bluetooth",
                                        "PadBank", "USB1Main", "USB1Chat",  "USB2",     "Headset", "System",
                                        "Game",    "Music",    "Virtual A", "Virtual B"};

namespace {

std::string FileName(const char* kind, unsigned stream) {
    std::string name = kEndpointNames[stream];
    for (char& c : name)
        if (c == ' ') c = '_';
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%s-%02u-", kind, stream);
    return prefix + name + ".wav";
}

WavFormat FormatOf(const sim::KsWaveFormat& f) {
    WavFormat w;
    w.channels = f.channels;
    w.containerBits = f.containerBits;
    w.validBits = f.validBits;
    w.isFloat = f.subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return w;
}

WavFormat FloatFormat(std::uint32_t channels) { return {static_cast<std::uint16_t>(channels), 32, 32, true}; }

}  // namespace

SessionRecorder::SessionRecorder(const std::string& dir, unsigned captureChannels, unsigned renderChannels,
                                 unsigned bits) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    entries_.reserve(18);
    auto add = [&](const std::string& name, const std::string& what, WavFormat fallback) {
        entries_.push_back({std::make_unique<WavFile>(dir + "/" + name), name, what, fallback});
        return &entries_.back();
    };
    const auto consoleBits = static_cast<std::uint16_t>(bits ? bits : 32);
    const auto validBits = static_cast<std::uint16_t>(bits ? bits : 24);
    if (renderChannels && captureChannels)
        console_[0] = add("console-in.wav", "what the console's capture pin produced",
                          {static_cast<std::uint16_t>(captureChannels), consoleBits, validBits, false});
    if (renderChannels)
        console_[1] = add("console-out.wav", "what the console's render pin played",
                          {static_cast<std::uint16_t>(renderChannels), consoleBits, validBits, false});
    for (unsigned s = 0; s < 16; ++s)
        streams_[s] =
            s < 11 ? add(FileName("capture", s), "what an application recording from it received", FloatFormat(1))
                   : add(FileName("render", s), "what an application played into it", FloatFormat(2));
}

bool SessionRecorder::Ok() const {
    for (const Entry& e : entries_)
        if (!e.file->Ok()) return false;
    return true;
}

void SessionRecorder::ConsoleFrames(const sim::ConsolePinEvent& e) {
    Entry* entry = console_[e.capture ? 0 : 1];
    if (!entry || !e.format || !e.data || e.kind != sim::ConsolePinEvent::Kind::Frames) return;
    const std::uint32_t rate = e.clock.Rate() ? e.clock.Rate() : sim::kMachineFrameRate;
    const std::uint64_t at = sim::MachineFrameAt(e.clock.Origin()) + e.firstFrame * sim::kMachineFrameRate / rate;
    entry->file->Put(at, e.data, e.frames, FormatOf(*e.format));
}

void SessionRecorder::Recorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                               std::uint32_t frames) {
    if (stream < 11 && streams_[stream])
        streams_[stream]->file->Put(firstFrame, samples, frames, FloatFormat(channels));
}

void SessionRecorder::Played(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                             std::uint32_t frames) {
    if (stream >= 11 && stream < 16 && streams_[stream])
        streams_[stream]->file->Put(firstFrame, samples, frames, FloatFormat(channels));
}

void SessionRecorder::Flush() {
    for (Entry& e : entries_) e.file->Flush();
}

void SessionRecorder::Finish(std::uint64_t totalFrames) {
    // A half handed over near the end reaches past it: every file ends with the longest.
    for (const Entry& e : entries_) totalFrames = std::max(totalFrames, e.file->Frames());
    for (Entry& e : entries_) e.file->Finish(totalFrames, e.fallback);
}

std::vector<SessionRecorder::FileInfo> SessionRecorder::Files() const {
    std::vector<FileInfo> files;
    for (const Entry& e : entries_)
        files.push_back({e.name, e.what, e.file->Format(), e.file->Frames(), e.file->OverlappedFrames()});
    return files;
}

}  // namespace quillon_sim
