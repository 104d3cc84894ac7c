#include "QuillmereWire/ReceiverStatistics.h"

#include <algorithm>

namespace quillmere {
namespace {

// Counters wrap like their 32-bit wire fields rather than trap.
void bump(std::uint32_t& counter) { counter = static_cast<std::uint32_t>(counter + 1u); }

std::uint16_t clamp16(std::uint64_t value) {
    return static_cast<std::uint16_t>(std::min<std::uint64_t>(value, 65'535));
}

} // namespace

void ReceiverStatistics::record(const AssemblyEvent& event) {
    if (const auto* complete = event.as<AssemblyEvent::Complete>()) {
        bump(received);
        const AssembledFrame& frame = complete->frame;
        const std::uint64_t age =
            frame.completedAtNs > frame.firstFragmentAtNs ? frame.completedAtNs - frame.firstFragmentAtNs : 0;
        maxAssemblyAgeNs = std::max(maxAssemblyAgeNs, age);
    } else if (const auto* lostFrame = event.as<AssemblyEvent::Lost>()) {
        bump(lostFrame->reason == FrameLossReason::late ? late : lost);
    }
}

void ReceiverStatistics::recordDecode(bool success) { bump(success ? decoded : decodeErrors); }

void ReceiverStatistics::recordDisplayed() { bump(displayed); }

ReceiverReport ReceiverStatistics::report(std::uint64_t nowNs) {
    ReceiverReport report;
    report.surfaceID = surfaceID;
    report.intervalMs = 1;
    report.displayedFPSCenti = 0;
    if (nowNs > intervalStartNs) {
        const std::uint64_t elapsed = nowNs - intervalStartNs;
        report.intervalMs = static_cast<std::uint16_t>(std::clamp<std::uint64_t>(elapsed / 1'000'000, 1, 10'000));
        // Frames per second in hundredths; 128 bits so a huge count cannot wrap.
        __extension__ using Wide = unsigned __int128;
        const Wide fps = Wide{displayed} * 100'000'000'000u / elapsed;
        report.displayedFPSCenti = static_cast<std::uint16_t>(fps > 65'535 ? 65'535 : static_cast<std::uint64_t>(fps));
    }
    report.framesReceived = received;
    report.framesLost = lost;
    report.framesLate = late;
    report.framesDecoded = decoded;
    report.decodeErrors = decodeErrors;
    report.maxAssemblyAgeMs = clamp16(maxAssemblyAgeNs / 1'000'000);
    report.decodeQueueDepth = decodeQueueDepth;
    report.thermalState = std::min<std::uint8_t>(thermalState, 3);

    received = lost = late = decoded = decodeErrors = displayed = 0;
    maxAssemblyAgeNs = 0;
    intervalStartNs = nowNs;
    return report;
}

} // namespace quillmere
