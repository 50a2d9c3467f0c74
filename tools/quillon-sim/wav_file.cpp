// WAVE files aligned to the machine clock.
#include "tools/quillon-sim/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quillon_sim {

namespace {

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One sample as a left-justified 32-bit integer (a float scaled to it).
std::int32_t ReadSample(const std::uint8_t* p, const WavFormat& f) {
    if (f.isFloat && f.containerBits == 32) {
        float x;
        std::memcpy(&x, p, sizeof x);
        if (!std::isfinite(x)) return 0;
        const double scaled = std::clamp(static_cast<double>(x) * 2147483648.0, -2147483648.0, 2147483647.0);
        return static_cast<std::int32_t>(scaled);
    }
    std::uint32_t u = 0;
    const unsigned bytes = f.containerBits / 8;
    for (unsigned b = 0; b < bytes; ++b) u |= static_cast<std::uint32_t>(p[b]) << (8 * (4 - bytes + b));
    return static_cast<std::int32_t>(u);
}

void WriteSample(std::uint8_t* p, std::int32_t v, const WavFormat& f) {
    if (f.isFloat && f.containerBits == 32) {
        const float x = static_cast<float>(static_cast<double>(v) / 2147483648.0);
        std::memcpy(p, &x, sizeof x);
        return;
    }
    const unsigned bytes = f.containerBits / 8;
    const auto u = static_cast<std::uint32_t>(v);
    for (unsigned b = 0; b < bytes; ++b) p[b] = static_cast<std::uint8_t>(u >> (8 * (4 - bytes + b)));
}

}  // namespace

WavFile::WavFile(std::string path, const WavFormat& format) : path_(std::move(path)) {
    SetFormat(format);
    file_ = std::fopen(path_.c_str(), "wb");
    failed_ = !file_;
    if (file_) {
        WriteHeader();
        if (std::fflush(file_) != 0 || std::ferror(file_)) failed_ = true;
    }
}

WavFile::~WavFile() {
    if (file_) Finish(Frames());
}

// The file's format: integers fill their container (valid bits = container bits).
void WavFile::SetFormat(const WavFormat& format) {
    format_ = format;
    if (format_.BlockAlign() == 0) format_ = {1, 16, 16, false};
    format_.validBits = format_.containerBits;
}

bool WavFile::Ok() const {
    std::lock_guard lock(mutex_);
    return !failed_;
}

WavFormat WavFile::Format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

std::uint64_t WavFile::Frames() const {
    std::lock_guard lock(mutex_);
    return placed_;
}

std::uint64_t WavFile::OverlappedFrames() const {
    std::lock_guard lock(mutex_);
    return overlapped_;
}

void WavFile::ConvertInto(std::uint8_t* out, const std::uint8_t* in, std::uint32_t frames,
                          const WavFormat& from) const {
    const unsigned inBytes = from.containerBits / 8, outBytes = format_.containerBits / 8;
    for (std::uint32_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < format_.channels; ++c) {
            const std::int32_t v =
                c < from.channels ? ReadSample(in + std::size_t{i} * from.BlockAlign() + c * inBytes, from) : 0;
            WriteSample(out + std::size_t{i} * format_.BlockAlign() + c * outBytes, v, format_);
        }
}

void WavFile::Put(std::uint64_t at, const void* data, std::uint32_t frames, const WavFormat& format) {
    const unsigned bytes = format.containerBits / 8;
    if (!data || frames == 0 || format.channels == 0 || bytes < 2 || bytes > 4) return;
    std::lock_guard lock(mutex_);
    if (!file_) return;
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (at < placed_) {
        const std::uint64_t skip = std::min<std::uint64_t>(placed_ - at, frames);
        overlapped_ += skip;
        frames -= static_cast<std::uint32_t>(skip);
        in += skip * format.BlockAlign();
        at += skip;
        if (frames == 0) return;
    }
    const std::size_t size = std::size_t{frames} * format_.BlockAlign();
    const std::size_t offset = pending_.size();
    pending_.resize(offset + size);
    if (format.channels == format_.channels && format.containerBits == format_.containerBits &&
        format.isFloat == format_.isFloat)
        std::memcpy(pending_.data() + offset, in, size);
    else
        ConvertInto(pending_.data() + offset, in, frames, format);
    segments_.push_back({at - placed_, offset, size});
    placed_ = at + frames;
}

void WavFile::WriteSilence(std::uint64_t frames) {
    static const std::uint8_t zeros[65536] = {};
    std::uint64_t bytes = frames * format_.BlockAlign();
    while (bytes > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, sizeof zeros));
        if (std::fwrite(zeros, 1, chunk, file_) != chunk) failed_ = true;
        bytes -= chunk;
    }
    written_ += frames;
}

void WavFile::Flush() {
    {
        std::lock_guard lock(mutex_);
        if (!file_) return;
        pending_.swap(writing_);
        segments_.swap(writingSegments_);
    }
    // Only the host flushes, so the file and the written count are its alone here (Finish and Ok take
    // the lock below, on the host too).
    const bool wrote = !writingSegments_.empty();
    for (const Segment& s : writingSegments_) {
        WriteSilence(s.silence);
        if (std::fwrite(writing_.data() + s.offset, 1, s.bytes, file_) != s.bytes) failed_ = true;
        written_ += s.bytes / format_.BlockAlign();
    }
    writing_.clear();
    writingSegments_.clear();
    if (wrote) {
        std::lock_guard lock(mutex_);
        WriteHeader();
        if (std::fflush(file_) != 0 || std::ferror(file_)) failed_ = true;
    }
}

void WavFile::Finish(std::uint64_t totalFrames) {
    Flush();
    std::lock_guard lock(mutex_);
    if (!file_) return;
    if (totalFrames > placed_) {
        WriteSilence(totalFrames - placed_);
        placed_ = totalFrames;
    }
    const std::uint64_t dataBytes = written_ * format_.BlockAlign();
    if (dataBytes % 2 && std::fputc(0, file_) == EOF) failed_ = true;
    WriteHeader();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
}

// Integer files: WAVE_FORMAT_EXTENSIBLE with the PCM sub-format (80 bytes with the fact chunk). Float
// files: WAVE_FORMAT_IEEE_FLOAT with an 18-byte fmt chunk and a fact chunk (58 bytes), as sox writes them.
void WavFile::WriteHeader() {
    static const std::uint8_t kPcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    const std::size_t headerBytes = HeaderBytes();
    const std::uint64_t data64 = written_ * format_.BlockAlign();
    const auto data = static_cast<std::uint32_t>(std::min<std::uint64_t>(data64, 0xFFFFFFFFu - headerBytes));
    std::uint8_t h[kWavHeaderBytes] = {};
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, static_cast<std::uint32_t>(headerBytes - 8 + data + (data % 2)));  // with the pad byte
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    const std::uint32_t fmtBytes = format_.isFloat ? 18 : 40;
    Put32(h + 16, fmtBytes);
    Put16(h + 20, format_.isFloat ? 0x0003 : 0xFFFE);  // WAVE_FORMAT_IEEE_FLOAT, WAVE_FORMAT_EXTENSIBLE
    Put16(h + 22, format_.channels);
    Put32(h + 24, kWavRate);
    Put32(h + 28, kWavRate * format_.BlockAlign());
    Put16(h + 32, static_cast<std::uint16_t>(format_.BlockAlign()));
    Put16(h + 34, format_.containerBits);
    std::uint8_t* p = h + 36;
    if (format_.isFloat) {
        Put16(p, 0);  // no extension
        p += 2;
    } else {
        Put16(p, 22);
        Put16(p + 2, format_.validBits);
        Put32(p + 4, format_.channels == 1 ? 0x4u : format_.channels == 2 ? 0x3u : 0u);  // mono: centre; stereo: L R
        std::memcpy(p + 8, kPcm, sizeof kPcm);
        p += 24;
    }
    std::memcpy(p, "fact", 4);
    Put32(p + 4, 4);
    Put32(p + 8, static_cast<std::uint32_t>(std::min<std::uint64_t>(written_, 0xFFFFFFFFu)));
    std::memcpy(p + 12, "data", 4);
    Put32(p + 16, data);
    // The header, then back to the end for what comes next.
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(h, 1, headerBytes, file_) != headerBytes ||
        std::fseek(file_, 0, SEEK_END) != 0)
        failed_ = true;
}

}  // namespace quillon_sim
