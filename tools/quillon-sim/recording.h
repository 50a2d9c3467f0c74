// quillon-sim --record DIR: the session's audio as WAVE files aligned to the machine clock (frame i of
// every file is machine time i / 48000 s, silence where nothing flowed):
//   console-in.wav    what the console's capture pin produced, all its channels, the pin's integer format
//   console-out.wav   what the console's render pin played, likewise
//   capture-NN-Name.wav  what an application recording from capture endpoint NN (00-10) received,
//                        32-bit float, the stream's 1 or 2 channels, at the time it received it
//   render-NN-Name.wav   what an application played into render endpoint NN (11-15), 32-bit float stereo,
//                        at the time it handed it over
// Name is the endpoint's name as Sound settings shows it at the end of the session (EndpointNames).
// Opening the recording removes what an earlier run wrote into DIR (those names and session.json).
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/include/sim/audio_paths.h"
#include "tools/quillon-sim/endpoints.h"
#include "tools/quillon-sim/wav_file.h"

namespace quillon_sim {

class SessionRecorder {
public:
    // Opens the files in `dir` (made if missing) after removing an earlier run's; console files only for
    // the pins the model has (`captureChannels` 0: no console-in.wav; `renderChannels` 0: no console).
    SessionRecorder(const std::string& dir, unsigned captureChannels, unsigned renderChannels, unsigned bits,
                    const EndpointNames& names);

    bool Ok() const;                         // every file opened, and every write so far succeeded
    std::size_t Replaced() const { return replaced_; }  // files of an earlier run removed
    std::size_t FileCount() const { return entries_.size() + 1; }  // with session.json
    std::uint64_t BytesPerSecond() const;    // what a second of session adds
    // From the meter's listener (machine clock, machine lock held).
    void ConsoleFrames(const sim::ConsolePinEvent& event);
    void Recorded(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                  std::uint32_t frames);
    void Played(unsigned stream, std::uint64_t firstFrame, std::uint32_t channels, const float* samples,
                std::uint32_t frames);
    // Host: writes what has gathered; at the end pads every file to `totalFrames` (or the longest file's
    // length), closes it and gives it the endpoint's name as Sound settings shows it now.
    void Flush();
    void Finish(std::uint64_t totalFrames, const EndpointNames& names);

    struct FileInfo {
        std::string name, what;
        WavFormat format;
        std::uint64_t frames = 0, overlapped = 0;
    };
    std::vector<FileInfo> Files() const;  // after Finish: their formats and lengths

private:
    struct Entry {
        std::unique_ptr<WavFile> file;
        std::string name, what;
        int endpoint = -1;  // -1: a console file
        bool renameFailed = false;
    };
    std::string dir_;
    std::size_t replaced_ = 0;
    Entry* console_[2] = {nullptr, nullptr};  // in, out
    std::array<Entry*, 16> streams_{};
    std::vector<Entry> entries_;
};

}  // namespace quillon_sim
