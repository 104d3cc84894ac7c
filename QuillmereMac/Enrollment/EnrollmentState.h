#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace quillmere {

// Where pairing stands, as the pairing window shows it.
struct EnrollmentState {
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    struct Starting {
        bool operator==(const Starting&) const = default;
    };
    // The invitation is on screen and may be used.
    struct Showing {
        std::string text;
        std::uint64_t expiresAt = 0; // Unix seconds
        bool operator==(const Showing&) const = default;
    };
    // A device proved the invitation and waits for the user.
    struct AwaitingApproval {
        std::string deviceName;
        std::uint64_t token = 0;
        std::uint64_t deadline = 0; // Unix seconds
        bool operator==(const AwaitingApproval&) const = default;
    };
    // Approved; the device is being saved, which may wait for another
    // process that holds the paired devices.
    struct Saving {
        std::string deviceName;
        bool operator==(const Saving&) const = default;
    };
    // Pairing ended; the message is for the user.
    struct Finished {
        std::string message;
        bool operator==(const Finished&) const = default;
    };

    using Value = std::variant<Idle, Starting, Showing, AwaitingApproval, Saving, Finished>;
};

} // namespace quillmere
