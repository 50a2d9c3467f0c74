#include "Service/QuillonDiag/DiagReader.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

// The block is shared with another process that rewrites it: its words are read with atomic loads.
std::uint32_t LoadWord(const void* view, std::size_t offset, std::memory_order order) {
    auto* word = static_cast<std::uint32_t*>(const_cast<void*>(view)) + offset / sizeof(std::uint32_t);
    return std::atomic_ref<std::uint32_t>(*word).load(order);
}

}  // namespace

EDiagRead ReadDiagnostics(const void* view, std::size_t bytes, DiagnosticsRecord& out, int attempts,
                          void (*afterCopy)(void*), void* context) {
    constexpr std::size_t kHeader = offsetof(DiagnosticsRecord, sequence);
    if (!view || bytes < kHeader) return EDiagRead::NoRecord;
    if (LoadWord(view, offsetof(DiagnosticsRecord, version), std::memory_order_relaxed) != kDiagnosticsVersion)
        return EDiagRead::WrongVersion;
    if (LoadWord(view, offsetof(DiagnosticsRecord, size), std::memory_order_relaxed) < sizeof(DiagnosticsRecord) ||
        bytes < sizeof(DiagnosticsRecord))
        return EDiagRead::TooShort;
    constexpr std::size_t kSequence = offsetof(DiagnosticsRecord, sequence);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::uint32_t before = LoadWord(view, kSequence, std::memory_order_acquire);
        if (before & 1u) continue;
        // Word by word, each an acquire load, so that the sequence is read again only after them all.
        std::uint32_t words[sizeof out / sizeof(std::uint32_t)];
        for (std::size_t w = 0; w < std::size(words); ++w)
            words[w] = LoadWord(view, w * sizeof(std::uint32_t), std::memory_order_acquire);
        std::memcpy(&out, words, sizeof out);
        if (afterCopy) afterCopy(context);
        if (LoadWord(view, kSequence, std::memory_order_acquire) != before) continue;
        // What was copied is what the header said (the writer may have changed in between).
        if (out.version != kDiagnosticsVersion) return EDiagRead::WrongVersion;
        if (out.size < sizeof(DiagnosticsRecord)) return EDiagRead::TooShort;
        out.model[sizeof out.model - 1] = 0;
        return EDiagRead::Ok;
    }
    return EDiagRead::Busy;
}

const char* DiagReadText(EDiagRead result) {
    switch (result) {
        case EDiagRead::Ok: return "read";
        case EDiagRead::NoRecord: return "the block holds no record";
        case EDiagRead::TooShort: return "the record is smaller than this program knows (an older service?)";
        case EDiagRead::WrongVersion: return "the record has a layout this program does not know (another version?)";
        case EDiagRead::Busy: return "the service was rewriting the record on every attempt";
    }
    return "unknown";
}
