#include "QuillmereViewer/SessionSummary.h"

#include "QuillmereViewer/JsonText.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace quillmere {

std::string_view endKindName(SessionEnd::Kind kind) {
    switch (kind) {
    case SessionEnd::Kind::frameLimit: return "frameLimit";
    case SessionEnd::Kind::duration: return "duration";
    case SessionEnd::Kind::interrupted: return "interrupted";
    case SessionEnd::Kind::listed: return "listed";
    case SessionEnd::Kind::hostBye: return "hostBye";
    case SessionEnd::Kind::hostError: return "hostError";
    case SessionEnd::Kind::violation: return "violation";
    case SessionEnd::Kind::captureRefused: return "captureRefused";
    case SessionEnd::Kind::captureEnded: return "captureEnded";
    case SessionEnd::Kind::noCapture: return "noCapture";
    case SessionEnd::Kind::connectionLost: return "connectionLost";
    case SessionEnd::Kind::failed: return "failed";
    }
    return "unknown";
}

bool SessionEnd::isRequested() const {
    return kind == Kind::frameLimit || kind == Kind::duration || kind == Kind::interrupted || kind == Kind::listed;
}

std::string SessionEnd::description() const {
    if (detail.empty()) return std::string(endKindName(kind));
    return fmt::format("{}({})", endKindName(kind), detail);
}

std::optional<SessionSummary::Latency> SessionSummary::latency() const {
    if (!clockOffset || captureAndDecodedNs.empty()) return std::nullopt;
    std::vector<double> milliseconds;
    milliseconds.reserve(captureAndDecodedNs.size());
    for (const auto& [captureHostNs, decodedNs] : captureAndDecodedNs) {
        const std::uint64_t captureNs = ClockOffsetEstimator::clientTimeNs(captureHostNs, clockOffset->offsetNs);
        // A capture placed after its decoding is clock error: it counts as no delay.
        const std::uint64_t delay = decodedNs > captureNs ? decodedNs - captureNs : 0;
        milliseconds.push_back(static_cast<double>(delay) / 1e6);
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    auto rank = [&](double percent) {
        const auto n = static_cast<double>(milliseconds.size());
        const auto index = static_cast<std::size_t>(std::max(1.0, std::ceil(percent / 100.0 * n))) - 1;
        return milliseconds[std::min(index, milliseconds.size() - 1)];
    };
    return Latency{static_cast<std::int64_t>(milliseconds.size()), rank(50), rank(90), rank(99), milliseconds.back()};
}

std::vector<std::string> SessionSummary::failures() const {
    std::vector<std::string> out;
    if (!end) out.push_back("the run did not end");
    else if (!end->isRequested()) out.push_back(fmt::format("ended early: {}", end->description()));
    if (!listOnly && decoded == 0) out.push_back("no frame was decoded");
    if (corrupt > 0)
        out.push_back(fmt::format("{} corrupt frame{}{}", corrupt, corrupt == 1 ? "" : "s",
                                  firstDecodeError ? fmt::format(" (first: {})", *firstDecodeError) : ""));
    if (expectTestPattern) {
        if (!testPattern || testPattern->checked() == 0) {
            out.push_back("no test-pattern frame was checked");
        } else if (testPattern->mismatches() > 0) {
            out.push_back(fmt::format("{} test-pattern mismatch{} (first: {})", testPattern->mismatches(),
                                      testPattern->mismatches() == 1 ? "" : "es",
                                      testPattern->firstMismatch().value_or("?")));
        }
    }
    if (inputWanted && inputPhase != InputScript::Phase::finished)
        out.push_back(fmt::format("input was not all sent: control {}", phaseName(inputPhase)));
    return out;
}

namespace {

std::string windowJSON(const CaptureWindow& window) {
    return fmt::format(R"({{"windowID":{},"title":{},"app":{},"width":{},"height":{}}})", window.windowID,
                       jsonString(window.title), jsonString(window.app), window.width, window.height);
}

template <class T>
std::string optionalJSON(const std::optional<T>& value) {
    return value ? fmt::format("{}", *value) : "null";
}

std::string textOrNull(const std::optional<std::string>& text) { return text ? jsonString(*text) : "null"; }

} // namespace

std::string SessionSummary::json() const {
    std::string out = "{";
    const auto failed = failures();
    out += fmt::format(R"("verdict":{},"failures":[)", jsonString(failed.empty() ? "pass" : "fail"));
    for (std::size_t i = 0; i < failed.size(); ++i) out += (i ? "," : "") + jsonString(failed[i]);
    out += "],";
    out += fmt::format(R"("end":{},"endDetail":{},"host":{},"connections":{},)",
                       end ? jsonString(endKindName(end->kind)) : "null",
                       end && !end->detail.empty() ? jsonString(end->detail) : "null", textOrNull(hostName), connections);
    out += fmt::format(R"("capture":{},)", capture ? windowJSON(*capture) : "null");
    if (listOnly) {
        out += R"("captures":[)";
        for (std::size_t i = 0; i < captures.size(); ++i) out += (i ? "," : "") + windowJSON(captures[i]);
        out += "],";
    }
    out += fmt::format(R"("frames":{{"delivered":{},"decoded":{},"corrupt":{},"configurations":{}}},)", delivered,
                       decoded, corrupt, configurations);
    out += R"("losses":{)";
    for (std::size_t reason = 0; reason < losses.size(); ++reason) {
        out += fmt::format(R"({}"{}":{})", reason ? "," : "", lossReasonName(static_cast<FrameLossReason>(reason)),
                           losses[reason]);
    }
    out += "},";
    out += fmt::format(R"("datagrams":{{"received":{},"rejected":{},"duplicates":{}}},"recoveryRequests":{},)",
                       datagrams, rejectedDatagrams, duplicateDatagrams, recoveryRequests);
    if (clockOffset) {
        out += fmt::format(R"("clockOffset":{{"offsetNs":{},"uncertaintyNs":{},"driftPPM":{:.3f},"samples":{}}},)",
                           clockOffset->offsetNs, clockOffset->uncertaintyNs, clockOffset->driftPPM,
                           clockOffset->samples);
    } else {
        out += R"("clockOffset":null,)";
    }
    if (const auto measured = latency()) {
        out += fmt::format(R"("latencyMs":{{"frames":{},"p50":{:.3f},"p90":{:.3f},"p99":{:.3f},"max":{:.3f}}},)",
                           measured->frames, measured->p50Ms, measured->p90Ms, measured->p99Ms, measured->maxMs);
    } else {
        out += R"("latencyMs":null,)";
    }
    if (expectTestPattern && testPattern) {
        out += fmt::format(R"("testPattern":{{"checked":{},"mismatches":{},"skipped":{},"first":{},"last":{}}},)",
                           testPattern->checked(), testPattern->mismatches(), testPattern->skipped(),
                           optionalJSON(testPattern->first()), optionalJSON(testPattern->last()));
    } else {
        out += R"("testPattern":null,)";
    }
    if (inputWanted) {
        out += fmt::format(R"("input":{{"control":{},"eventsSent":{},"renewals":{}}},)",
                           jsonString(phaseName(inputPhase)), inputEventsSent, inputRenewalsSent);
    } else {
        out += R"("input":null,)";
    }
    out += fmt::format(R"("snapshots":{},"timingLog":{}}})", snapshots, textOrNull(timingLog));
    return out;
}

} // namespace quillmere
