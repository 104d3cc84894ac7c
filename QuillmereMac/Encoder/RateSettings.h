#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace quillmere {

// The rate and buffer an encoder was last told, and how often it refused to
// be told otherwise. A refused change leaves the encoder at its last
// accepted settings; only the first refusal of each kind is worth a log
// line, the count goes to the diagnostics.
class RateSettings {
public:
    struct Values {
        int rateKbit = 0;
        int bufferKbit = 0;
        bool operator==(const Values&) const = default;
    };
    // A new rate (with or without a new buffer), or only a new buffer.
    enum class Change : std::uint8_t { rate, buffer };
    struct Refusal {
        Change change = Change::rate;
        Values asked;
        // What the encoder goes on with.
        Values kept;
        // The first of its kind.
        bool first = false;
    };
    // Gives the values to the encoder: true when it took them.
    using Apply = std::function<bool(const Values&)>;

    explicit RateSettings(Values initial) : applied_(initial) {}

    // Tells the encoder the values unless they are already in force.
    std::optional<Refusal> change(const Values& asked, const Apply& apply);

    const Values& applied() const { return applied_; }
    std::int64_t refusals() const { return refusals_; }

private:
    Values applied_;
    std::int64_t refusals_ = 0;
    bool refused_[2] = {false, false};
};

} // namespace quillmere
