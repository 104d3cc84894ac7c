#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/MediaHeader.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

enum class FrameLossReason : std::uint8_t {
    expired,    // waited longer than maxAgeNs
    evicted,    // pushed out by the frame or byte limit
    superseded, // its epoch or configuration generation was replaced
    conflict,   // its fragments contradict each other
    late,       // a newer frame completed first
    gap,        // never received at all, noticed when the next frame completed
};

std::string_view lossReasonName(FrameLossReason reason);

// Why a datagram was refused; malformed carries the decoding error.
class RejectReason {
public:
    enum class Kind : std::uint8_t { malformed, wrongSurface, staleEpoch, unacceptedConfig, alreadyDelivered, tooLarge };

    static RejectReason malformed(WireError error) { return RejectReason(Kind::malformed, std::move(error)); }
    static RejectReason wrongSurface() { return RejectReason(Kind::wrongSurface); }
    static RejectReason staleEpoch() { return RejectReason(Kind::staleEpoch); }
    static RejectReason unacceptedConfig() { return RejectReason(Kind::unacceptedConfig); }
    static RejectReason alreadyDelivered() { return RejectReason(Kind::alreadyDelivered); }
    static RejectReason tooLarge() { return RejectReason(Kind::tooLarge); }

    Kind kind() const { return kind_; }
    // Set for malformed only.
    const std::optional<WireError>& error() const { return error_; }
    std::string description() const;

    bool operator==(const RejectReason&) const = default;

private:
    explicit RejectReason(Kind kind, std::optional<WireError> error = std::nullopt)
        : kind_(kind), error_(std::move(error)) {}

    Kind kind_;
    std::optional<WireError> error_;
};

// A whole frame put back together; it owns its data. The header fields are
// those of the first fragment received.
struct AssembledFrame {
    std::uint32_t surfaceID = 0;
    std::uint32_t epoch = 0;
    std::uint32_t frameID = 0;
    std::uint32_t configGeneration = 0;
    MediaHeader::Flags flags;
    std::uint64_t captureTimeNs = 0;
    std::uint64_t firstFragmentAtNs = 0;
    std::uint64_t completedAtNs = 0;
    Bytes data;
    std::uint32_t sendOffsetUs = 0;

    bool operator==(const AssembledFrame&) const = default;
};

struct AssemblyEvent {
    struct Complete {
        AssembledFrame frame;
        bool operator==(const Complete&) const = default;
    };
    struct Lost {
        std::uint32_t frameID = 0;
        std::uint32_t epoch = 0;
        // Not discardable: later frames depend on it.
        bool reference = true;
        FrameLossReason reason = FrameLossReason::expired;
        bool operator==(const Lost&) const = default;
    };
    struct Rejected {
        RejectReason reason;
        bool operator==(const Rejected&) const = default;
    };

    std::variant<Complete, Lost, Rejected> value;

    static AssemblyEvent complete(AssembledFrame frame) { return {Complete{std::move(frame)}}; }
    static AssemblyEvent lost(std::uint32_t frameID, std::uint32_t epoch, bool reference, FrameLossReason reason) {
        return {Lost{frameID, epoch, reference, reason}};
    }
    static AssemblyEvent rejected(RejectReason reason) { return {Rejected{std::move(reason)}}; }

    template <class T>
    bool is() const { return std::holds_alternative<T>(value); }
    template <class T>
    const T* as() const { return std::get_if<T>(&value); }

    // "complete(frame 7)", "lost(frame 5, epoch 1, reference, late)", "rejected(staleEpoch)".
    std::string description() const;

    bool operator==(const AssemblyEvent&) const = default;
};

} // namespace quillmere
