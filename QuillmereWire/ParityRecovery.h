#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/MediaHeader.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace quillmere {

// Runs on each received datagram ahead of frame assembly: passes datagrams
// on, keeps the fragments and parities of the most recent frames (sharing
// the received buffers), and hands out each fragment it rebuilds as an extra
// datagram. It never fails: what does not decode passes through untouched.
class ParityRecovery {
public:
    struct FrameKey {
        std::uint32_t surface = 0;
        std::uint32_t epoch = 0;
        std::uint32_t frame = 0;
        bool operator==(const FrameKey&) const = default;
    };

    explicit ParityRecovery(std::int64_t maxFrames);

    // The datagram itself unless it is a parity, then possibly one rebuilt fragment.
    std::vector<SharedBytes> ingest(SharedBytes datagram);
    // One rebuilt fragment of the frame, when some kept parity lacks exactly
    // one of its fragments.
    std::optional<SharedBytes> reconstruct(const FrameKey& key);

    std::int64_t maxFrames() const { return maxFrames_; }
    std::int64_t recovered() const { return recovered_; }
    std::size_t frameCount() const { return frames_.size(); }

private:
    struct Held {
        MediaHeader header;
        SharedBytes payload;
    };
    struct Pending {
        std::map<std::uint16_t, Held> fragments;
        // In arrival order; one per group position.
        std::vector<Held> parities;
    };
    struct KeyHash {
        std::size_t operator()(const FrameKey& key) const;
    };

    std::optional<SharedBytes> rebuild(Pending& pending, const Held& parity);

    std::int64_t maxFrames_;
    std::unordered_map<FrameKey, Pending, KeyHash> frames_;
    std::deque<FrameKey> order_;
    std::int64_t recovered_ = 0;
};

} // namespace quillmere
