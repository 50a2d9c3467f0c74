// The answers a fuzzed device, driver or store gives, read from a libFuzzer input.
//
// Input format (also what tests/fuzz/make_seeds.py writes): a sequence of records
//     [key: 1 byte] [mode: 1 byte] [length: 2 bytes, little endian] [length bytes]
// A harness asks for the answer to key k (one key per property, value or request it serves); it gets
// k's records in input order, and the last one again once they are used up, so one record can answer a
// size query and the read after it. A key without records has no answer (the harness decides what that
// means: usually "not found"). A record cut short by the end of the input keeps the bytes that are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace fuzz {

struct Answer {
    std::uint8_t mode = 0;
    std::vector<std::uint8_t> bytes;

    // The first bytes as a little-endian number (missing bytes are 0).
    std::uint32_t U32(std::size_t at = 0) const {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i) value |= std::uint32_t{bytes[at + i]} << (8 * i);
        return value;
    }
};

// A device property type from a mode byte: the low 7 bits are the base type, bit 7 the list modifier
// (DEVPROP_TYPEMOD_LIST), so that string lists are one byte away.
inline std::uint32_t PropertyType(std::uint8_t mode) { return (mode & 0x7Fu) | ((mode & 0x80u) ? 0x2000u : 0u); }

class Answers {
public:
    Answers(const std::uint8_t* data, std::size_t size) {
        std::size_t at = 0;
        while (at + 2 <= size) {
            const std::uint8_t key = data[at];
            Answer answer;
            answer.mode = data[at + 1];
            std::size_t length = 0;
            if (at + 4 <= size) length = data[at + 2] | (std::size_t{data[at + 3]} << 8);
            at = at + 4 <= size ? at + 4 : size;
            if (length > size - at) length = size - at;
            answer.bytes.assign(data + at, data + at + length);
            at += length;
            records_[key].push_back(std::move(answer));
        }
    }

    // The next answer for key, or null when the input has none for it. Device threads and the machine's
    // timers may ask at once.
    const Answer* Next(std::uint8_t key) {
        std::lock_guard lock(mutex_);
        auto it = records_.find(key);
        if (it == records_.end() || it->second.empty()) return nullptr;
        std::size_t& next = used_[key];
        const Answer* answer = &it->second[next < it->second.size() ? next : it->second.size() - 1];
        if (next < it->second.size()) ++next;
        return answer;
    }

    bool Has(std::uint8_t key) const { return records_.count(key) != 0; }

private:
    std::map<std::uint8_t, std::vector<Answer>> records_;
    std::map<std::uint8_t, std::size_t> used_;
    std::mutex mutex_;
};

}  // namespace fuzz
