#pragma once

// Numbers drawn from the fuzzer's input, for the message generator: each
// draw eats up to 8 bytes; once the input is used up every draw gives its
// lower bound, so that short inputs make small, simple messages.

#include <cstddef>
#include <cstdint>

namespace quillmere::fuzzing {

class FuzzSource {
public:
    FuzzSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint64_t next(std::uint64_t low, std::uint64_t high) {
        const std::uint64_t span = high - low;
        std::uint64_t value = 0;
        for (std::uint64_t covered = 0; covered < span && position_ < size_; covered = covered << 8 | 0xFF)
            value = value << 8 | data_[position_++];
        return span == UINT64_MAX ? value : low + value % (span + 1);
    }

    std::size_t used() const { return position_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

} // namespace quillmere::fuzzing
