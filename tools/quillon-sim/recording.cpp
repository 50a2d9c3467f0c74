// quillon-sim's recording of the session's audio.
#include "tools/quillon-sim/recording.h"

#include <algorithm>
#include <filesystem>

namespace quillon_sim {

namespace {

// Channels of each capture stream's recording: 1 for streams 1 to 4 and 10, 2 for the others.
unsigned CaptureChannels(unsigned stream) { return (stream >= 1 && stream <= 4) || stream == 10 ? 1 : 2; }

// What an earlier run wrote: the console files, capture-*.wav, render-*.wav and session.json.
bool EarlierRunFile(const std::string& name) {
    const bool wav = name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
    return name == "session.json" || name == "console-in.wav" || name == "console-out.wav" ||
           (wav && (name.rfind("capture-", 0) == 0 || name.rfind("render-", 0) == 0));
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
                                 unsigned bits, const EndpointNames& names)
    : dir_(dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        if (entry.is_regular_file(error) && EarlierRunFile(entry.path().filename().string()) &&
            std::filesystem::remove(entry.path(), error))
            ++replaced_;
    entries_.reserve(18);
    auto add = [&](const std::string& name, const std::string& what, WavFormat format, int endpoint) {
        entries_.push_back({std::make_unique<WavFile>(dir + "/" + name, format), name, what, endpoint});
        return &entries_.back();
    };
    const auto consoleBits = static_cast<std::uint16_t>(bits ? bits : 32);
    if (renderChannels && captureChannels)
        console_[0] = add("console-in.wav", "what the console's capture pin produced",
                          {static_cast<std::uint16_t>(captureChannels), consoleBits, consoleBits, false}, -1);
    if (renderChannels)
        console_[1] = add("console-out.wav", "what the console's render pin played",
                          {static_cast<std::uint16_t>(renderChannels), consoleBits, consoleBits, false}, -1);
    for (unsigned s = 0; s < 16; ++s)
        streams_[s] = s < 11 ? add(names.FileName(s), "what an application recording from it received",
                                   FloatFormat(CaptureChannels(s)), static_cast<int>(s))
                             : add(names.FileName(s), "what an application played into it", FloatFormat(2),
                                   static_cast<int>(s));
}

std::uint64_t SessionRecorder::BytesPerSecond() const {
    std::uint64_t bytes = 0;
    for (const Entry& e : entries_) bytes += std::uint64_t{e.file->Format().BlockAlign()} * kWavRate;
    return bytes;
}

bool SessionRecorder::Ok() const {
    for (const Entry& e : entries_)
        if (!e.file->Ok() || e.renameFailed) return false;
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

void SessionRecorder::Finish(std::uint64_t totalFrames, const EndpointNames& names) {
    // A half handed over near the end reaches past it: every file ends with the longest.
    for (const Entry& e : entries_) totalFrames = std::max(totalFrames, e.file->Frames());
    for (Entry& e : entries_) {
        e.file->Finish(totalFrames);
        if (e.endpoint < 0) continue;
        const std::string name = names.FileName(static_cast<unsigned>(e.endpoint));
        if (name == e.name) continue;
        std::error_code error;
        std::filesystem::rename(dir_ + "/" + e.name, dir_ + "/" + name, error);
        if (error)
            e.renameFailed = true;
        else
            e.name = name;
    }
}

std::vector<SessionRecorder::FileInfo> SessionRecorder::Files() const {
    std::vector<FileInfo> files;
    for (const Entry& e : entries_)
        files.push_back({e.name, e.what, e.file->Format(), e.file->Frames(), e.file->OverlappedFrames()});
    return files;
}

}  // namespace quillon_sim
