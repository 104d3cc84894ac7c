#pragma once

#include <cstdint>
#include <limits>

namespace quillmere {

// One surface's sending figures, for the diagnostics log and the summary
// logged when the connection closes.
struct TransportMetrics {
    std::int64_t framesAdmitted = 0;
    std::int64_t framesSent = 0;
    // Refused at the offer, refused by the session, or not fragmentable.
    std::int64_t framesDropped = 0;
    std::int64_t datagramsSent = 0;
    std::int64_t datagramsRejectedByStack = 0;
    std::int64_t maxSendAgeNs = 0;
    // Sum of the frames' data lengths, not of datagram sizes.
    std::int64_t bytesSent = 0;
    std::int64_t totalSendAgeNs = 0;
    std::int64_t lastUsableDatagramSize = 0;
    std::int64_t minUsableDatagramSize = std::numeric_limits<std::int64_t>::max();

    bool operator==(const TransportMetrics&) const = default;
};

} // namespace quillmere
