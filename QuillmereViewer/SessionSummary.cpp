#include "QuillmereViewer/SessionSummary.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

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
    if (clipboardWanted && !clipboard) out.push_back("the clipboard pull was not answered");
    return out;
}

namespace {

using Json = nlohmann::ordered_json;

Json windowJSON(const CaptureWindow& window) {
    return {{"windowID", window.windowID},
            {"title", window.title},
            {"app", window.app},
            {"width", window.width},
            {"height", window.height}};
}

template <class T>
Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// Milliseconds and parts per million to three decimals.
double thousandths(double value) { return std::round(value * 1000) / 1000; }

} // namespace

std::string SessionSummary::json() const {
    const auto failed = failures();
    Json out;
    out["verdict"] = failed.empty() ? "pass" : "fail";
    out["failures"] = failed;
    out["end"] = end ? Json(endKindName(end->kind)) : Json(nullptr);
    out["endDetail"] = end && !end->detail.empty() ? Json(end->detail) : Json(nullptr);
    out["host"] = orNull(hostName);
    out["connections"] = connections;
    out["capture"] = capture ? windowJSON(*capture) : Json(nullptr);
    if (listOnly) {
        out["captures"] = Json::array();
        for (const auto& window : captures) out["captures"].push_back(windowJSON(window));
    }
    out["frames"] = {{"delivered", delivered}, {"decoded", decoded}, {"corrupt", corrupt},
                     {"configurations", configurations}};
    out["losses"] = Json::object();
    for (std::size_t reason = 0; reason < losses.size(); ++reason)
        out["losses"][std::string(lossReasonName(static_cast<FrameLossReason>(reason)))] = losses[reason];
    out["datagrams"] = {{"received", datagrams}, {"rejected", rejectedDatagrams}, {"duplicates", duplicateDatagrams}};
    out["recoveryRequests"] = recoveryRequests;
    out["clockOffset"] = nullptr;
    if (clockOffset) {
        out["clockOffset"] = {{"offsetNs", clockOffset->offsetNs},
                              {"uncertaintyNs", clockOffset->uncertaintyNs},
                              {"driftPPM", thousandths(clockOffset->driftPPM)},
                              {"samples", clockOffset->samples}};
    }
    out["latencyMs"] = nullptr;
    if (const auto measured = latency()) {
        out["latencyMs"] = {{"frames", measured->frames},
                            {"p50", thousandths(measured->p50Ms)},
                            {"p90", thousandths(measured->p90Ms)},
                            {"p99", thousandths(measured->p99Ms)},
                            {"max", thousandths(measured->maxMs)}};
    }
    out["testPattern"] = nullptr;
    if (expectTestPattern && testPattern) {
        out["testPattern"] = {{"checked", testPattern->checked()},
                              {"mismatches", testPattern->mismatches()},
                              {"skipped", testPattern->skipped()},
                              {"first", orNull(testPattern->first())},
                              {"last", orNull(testPattern->last())}};
    }
    out["input"] = nullptr;
    if (inputWanted) {
        out["input"] = {{"control", phaseName(inputPhase)},
                        {"eventsSent", inputEventsSent},
                        {"renewals", inputRenewalsSent}};
    }
    out["clipboard"] = nullptr;
    if (clipboard) {
        out["clipboard"] = {{"outcome", clipboard->outcome},
                            {"bytes", clipboard->bytes},
                            {"afterMs", thousandths(clipboard->afterMs)}};
    }
    out["snapshots"] = snapshots;
    out["snapshotsSkipped"] = snapshotsSkipped;
    out["timingLog"] = orNull(timingLog);
    // Texts from the host need not be valid UTF-8.
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace quillmere
