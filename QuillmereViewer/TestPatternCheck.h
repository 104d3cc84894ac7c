#pragma once

#include "QuillmereViewer/DecodedPicture.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// Reads the frame number that the host's test pattern draws as a strip of
// 32 black or white cells along the bottom (least significant bit on the
// left), and checks that the numbers of decoded frames keep rising: a number
// that repeats or goes back is a mismatch; numbers skipped (frames the host
// did not send or we lost) are counted apart.
class TestPatternCheck {
public:
    // The number a picture shows.
    static std::uint32_t read(const DecodedPicture& picture);

    // Checks one decoded picture; false on a mismatch.
    bool check(const DecodedPicture& picture);
    bool check(std::uint32_t number);
    // A new session numbers its pattern from the start again: the next number
    // is taken as it comes.
    void restart() { last_.reset(); }

    std::int64_t checked() const { return checked_; }
    std::int64_t mismatches() const { return mismatches_; }
    std::int64_t skipped() const { return skipped_; }
    std::optional<std::uint32_t> first() const { return first_; }
    std::optional<std::uint32_t> last() const { return last_; }
    // The first mismatch, as "frame 12 after 12".
    const std::optional<std::string>& firstMismatch() const { return firstMismatch_; }

private:
    std::int64_t checked_ = 0;
    std::int64_t mismatches_ = 0;
    std::int64_t skipped_ = 0;
    std::optional<std::uint32_t> first_;
    std::optional<std::uint32_t> last_;
    std::optional<std::string> firstMismatch_;
};

} // namespace quillmere
