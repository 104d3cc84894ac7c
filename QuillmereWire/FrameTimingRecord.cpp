#include "QuillmereWire/FrameTimingRecord.h"

#include <fmt/format.h>

#include <iterator>

namespace quillmere {
namespace {

void appendOptional(std::string& out, std::string_view key, const std::optional<std::uint64_t>& value) {
    if (value) {
        fmt::format_to(std::back_inserter(out), ",\"{}\":{}", key, *value);
    } else {
        fmt::format_to(std::back_inserter(out), ",\"{}\":null", key);
    }
}

} // namespace

FrameTimingRecord FrameTimingRecord::from(const AssembledFrame& frame,
                                          const std::optional<ClockOffsetEstimator::Estimate>& estimate,
                                          std::optional<std::uint64_t> submittedNs) {
    FrameTimingRecord record;
    record.frameID = frame.frameID;
    record.epoch = frame.epoch;
    record.keyframe = frame.flags.contains(MediaHeader::Flags::keyframe);
    record.bytes = static_cast<std::int64_t>(frame.data.size());
    record.firstFragmentNs = frame.firstFragmentAtNs;
    record.assembledNs = frame.completedAtNs;
    record.submittedNs = submittedNs;
    if (estimate) {
        // captureNs is at most INT64_MAX, so adding the offset cannot wrap.
        const std::uint64_t capture = ClockOffsetEstimator::clientTimeNs(frame.captureTimeNs, estimate->offsetNs);
        record.captureNs = capture;
        record.sendNs = capture + std::uint64_t{frame.sendOffsetUs} * 1'000;
        record.offsetUncertaintyNs = estimate->uncertaintyNs;
    }
    return record;
}

std::string FrameTimingRecord::jsonLine() const {
    std::string out;
    out.reserve(256);
    fmt::format_to(std::back_inserter(out), "{{\"frame\":{},\"epoch\":{},\"key\":{},\"bytes\":{}", frameID, epoch,
                   keyframe ? "true" : "false", bytes);
    appendOptional(out, "captureNs", captureNs);
    appendOptional(out, "sendNs", sendNs);
    fmt::format_to(std::back_inserter(out), ",\"firstFragmentNs\":{},\"assembledNs\":{}", firstFragmentNs,
                   assembledNs);
    appendOptional(out, "submittedNs", submittedNs);
    appendOptional(out, "decodedNs", decodedNs);
    appendOptional(out, "offsetUncertaintyNs", offsetUncertaintyNs);
    out += '}';
    return out;
}

} // namespace quillmere
