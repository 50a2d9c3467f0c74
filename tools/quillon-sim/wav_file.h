// A WAVE file written while a session runs, aligned to the machine clock: frame i of the file is
// machine time i / 48000 s. Blocks are placed at their machine frame from the machine's clock thread
// (Put, under a lock of the file's own, no disk access, no allocation beyond amortised growth); the host
// writes what has gathered to disk (Flush) and closes the file at the end of the session (Finish), with
// silence wherever nothing was placed. A block placed before what the file already holds loses its
// overlapping frames (counted).
//
// The file is a valid WAVE file at every moment: its header is written when it opens and rewritten
// after every Flush with the sizes of what is on disk, so a session that ends abruptly leaves files
// every program opens. The format is the one given when it opens (a block in another is converted);
// integer files are WAVE_FORMAT_EXTENSIBLE with valid bits equal to the container's (24 valid bits in
// 32 are written as 32-bit samples, the 24-bit value v as v x 256: programs that refuse padded samples
// open it), float files plain WAVE_FORMAT_IEEE_FLOAT; both with a fact chunk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace quillon_sim {

struct WavFormat {
    std::uint16_t channels = 0;
    std::uint16_t containerBits = 0;  // 16, 24 or 32
    std::uint16_t validBits = 0;
    bool isFloat = false;
    std::uint32_t BlockAlign() const { return std::uint32_t{channels} * (containerBits / 8u); }
    bool operator==(const WavFormat&) const = default;
};

inline constexpr std::uint32_t kWavRate = 48'000;
inline constexpr std::size_t kWavHeaderBytes = 80;  // the largest header (integer files)

class WavFile {
public:
    WavFile(std::string path, const WavFormat& format);
    ~WavFile();
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    bool Ok() const;  // opened, and every write so far succeeded
    const std::string& Path() const { return path_; }

    // Places `frames` frames of `format` at machine frame `at` (clock thread). A block in another format
    // than the file's is converted: integers keep their left-justified value, floats scale to full scale,
    // channels are cut or filled with silence.
    void Put(std::uint64_t at, const void* data, std::uint32_t frames, const WavFormat& format);
    // Writes what was placed since the last call and the header that covers it (host).
    void Flush();
    // Pads the file with silence to `totalFrames` frames, writes its header and closes it.
    void Finish(std::uint64_t totalFrames);

    WavFormat Format() const;
    std::uint64_t Frames() const;  // frames placed or padded so far
    std::uint64_t OverlappedFrames() const;

private:
    struct Segment {
        std::uint64_t silence;  // frames of silence before the bytes
        std::size_t offset, bytes;
    };
    void ConvertInto(std::uint8_t* out, const std::uint8_t* in, std::uint32_t frames, const WavFormat& from) const;
    void SetFormat(const WavFormat& format);
    std::size_t HeaderBytes() const { return format_.isFloat ? 58 : kWavHeaderBytes; }
    void WriteHeader();
    void WriteSilence(std::uint64_t frames);

    std::string path_;
    std::FILE* file_ = nullptr;
    mutable std::mutex mutex_;
    WavFormat format_;
    bool failed_ = false;     // a write failed
    std::uint64_t placed_ = 0;  // frames placed so far (the next frame's index)
    std::uint64_t overlapped_ = 0;
    std::vector<std::uint8_t> pending_, writing_;
    std::vector<Segment> segments_, writingSegments_;
    std::uint64_t written_ = 0;  // frames on disk
};

}  // namespace quillon_sim
