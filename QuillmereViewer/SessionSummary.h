#pragma once

#include "QuillmereViewer/InputScript.h"
#include "QuillmereViewer/TestPatternCheck.h"
#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ClockOffsetEstimator.h"
#include "QuillmereWire/ControlMessage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// Why a connect run ended.
struct SessionEnd {
    enum class Kind : std::uint8_t {
        frameLimit,   // the frames asked for were decoded
        duration,     // streamed as long as asked
        interrupted,  // the user interrupted
        listed,       // the capture list was all that was asked for
        hostBye,      // the host said goodbye
        hostError,    // the host sent an error
        violation,    // the host broke the protocol
        captureRefused, // consent denied or the capture unavailable
        captureEnded, // the host ended the capture
        noCapture,    // nothing in the list fits the selection
        connectionLost, // the connection dropped and was not regained
        failed,       // a local failure (decoder, files)
    };

    Kind kind = Kind::connectionLost;
    std::string detail;

    // The endings a passing run may have.
    bool isRequested() const;
    // "frameLimit", "hostBye(normal)", "connectionLost(handshake timeout)".
    std::string description() const;
    bool operator==(const SessionEnd&) const = default;
};

std::string_view endKindName(SessionEnd::Kind kind);

// Everything a connect run reports, added up over its connections, and the
// verdict on it. Latencies are kept as host capture times and our decode
// times and placed on our clock with the last clock estimate when the
// summary is made.
struct SessionSummary {
    struct Latency {
        std::int64_t frames = 0;
        double p50Ms = 0;
        double p90Ms = 0;
        double p99Ms = 0;
        double maxMs = 0;
        bool operator==(const Latency&) const = default;
    };

    bool listOnly = false;
    bool expectTestPattern = false;
    std::optional<std::string> hostName;
    std::optional<CaptureWindow> capture;
    std::vector<CaptureWindow> captures;
    std::int64_t connections = 0;

    std::int64_t delivered = 0;
    std::int64_t decoded = 0;
    std::int64_t corrupt = 0;
    std::int64_t configurations = 0;
    std::array<std::int64_t, 6> losses{};
    std::int64_t datagrams = 0;
    std::int64_t rejectedDatagrams = 0;
    std::int64_t duplicateDatagrams = 0;
    std::int64_t recoveryRequests = 0;
    std::optional<ClockOffsetEstimator::Estimate> clockOffset;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> captureAndDecodedNs;
    std::optional<std::string> firstDecodeError;

    std::optional<TestPatternCheck> testPattern;

    bool inputWanted = false;
    InputScript::Phase inputPhase = InputScript::Phase::idle;
    std::int64_t inputEventsSent = 0;
    std::int64_t inputRenewalsSent = 0;

    struct ClipboardAnswer {
        // "text", or the outcome the host gave instead.
        std::string outcome;
        std::int64_t bytes = 0;
        double afterMs = 0;
        bool operator==(const ClipboardAnswer&) const = default;
    };
    bool clipboardWanted = false;
    std::optional<ClipboardAnswer> clipboard;

    std::int64_t snapshots = 0;
    // Not written: the writer was behind, or the run was interrupted first.
    std::int64_t snapshotsSkipped = 0;
    std::optional<std::string> timingLog;

    std::optional<SessionEnd> end;

    // Latency from capture to decoded frame, in milliseconds (nearest rank);
    // absent without a clock estimate or a decoded frame.
    std::optional<Latency> latency() const;
    // Empty when the run passed.
    std::vector<std::string> failures() const;
    bool passed() const { return failures().empty(); }
    // One JSON object on one line.
    std::string json() const;
};

} // namespace quillmere
