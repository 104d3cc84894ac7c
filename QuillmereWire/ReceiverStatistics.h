#pragma once

#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>

namespace quillmere {

// What happened to one surface's frames during a reporting interval; each
// report closes the interval. Counters are those of the interval.
struct ReceiverStatistics {
    std::uint32_t surfaceID = 0;
    std::uint64_t intervalStartNs = 0;
    std::uint32_t received = 0;
    std::uint32_t lost = 0;
    std::uint32_t late = 0;
    std::uint32_t decoded = 0;
    std::uint32_t decodeErrors = 0;
    // Longest first-fragment-to-completion time of a frame.
    std::uint64_t maxAssemblyAgeNs = 0;
    std::uint32_t displayed = 0;
    // Last reported by the viewer; kept across intervals.
    std::uint8_t decodeQueueDepth = 0;
    // 0 nominal to 3 critical; reported at most 3.
    std::uint8_t thermalState = 0;

    ReceiverStatistics(std::uint32_t surfaceID, std::uint64_t nowNs) : surfaceID(surfaceID), intervalStartNs(nowNs) {}

    void record(const AssemblyEvent& event);
    void recordDecode(bool success);
    void recordDisplayed();
    // The interval's report; starts the next interval at nowNs.
    ReceiverReport report(std::uint64_t nowNs);

    bool operator==(const ReceiverStatistics&) const = default;
};

} // namespace quillmere
