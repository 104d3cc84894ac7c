#include "QuillmereMac/Encoder/EncoderFactory.h"

#include "QuillmereMac/Encoder/EncoderLibavcodec.h"
#include "QuillmereMac/Encoder/EncoderX264.h"

#include <fmt/format.h>

namespace quillmere {
namespace {

std::string failureText(const std::string& node, const EncoderError& error) {
    switch (error.kind()) {
    case EncoderError::Kind::sessionCreation:
        return fmt::format("{}: no device ({})", node, EncoderLibavcodec::statusText(error.status()));
    case EncoderError::Kind::prepare:
        return fmt::format("{}: does not open ({})", node, EncoderLibavcodec::statusText(error.status()));
    default:
        return fmt::format("{}: no encoder", node);
    }
}

} // namespace

bool EncoderFactory::hevcHardwareAvailable() {
    EncoderConfig probe;
    probe.width = 640;
    probe.height = 360;
    probe.fps = 60;
    probe.bitrateKbps = 1000;
    probe.codec = EncoderConfig::Codec::hevc;
    for (const std::string& node : EncoderLibavcodec::renderNodes()) {
        if (EncoderLibavcodec::open(probe, EncoderLibavcodec::Backend::vaapi, node)) return true;
    }
    return false;
}

std::expected<EncoderFactory::Choice, EncoderError> EncoderFactory::make(const EncoderConfig& config) {
    const bool hevc = config.codec == EncoderConfig::Codec::hevc;
    if (hevc && !hevcHardwareAvailable()) return std::unexpected(EncoderError::codecNotQualified());

    const auto nodes = EncoderLibavcodec::renderNodes();
    std::string failures;
    EncoderError lastError = EncoderError::hardwareUnavailable();
    for (const std::string& node : nodes) {
        auto opened = EncoderLibavcodec::open(config, EncoderLibavcodec::Backend::vaapi, node);
        if (opened) return Choice{std::move(*opened), true, fmt::format("{} on {}", hevc ? "hevc_vaapi" : "h264_vaapi", node)};
        lastError = opened.error();
        failures += (failures.empty() ? "" : "; ") + failureText(node, opened.error());
    }
    // Only H.264 may fall back to software.
    if (hevc) return std::unexpected(lastError);

    auto software = EncoderX264::open(config);
    if (!software) return std::unexpected(software.error());
    return Choice{std::move(*software), false,
                  fmt::format("libx264 in software: {}", nodes.empty() ? "no render node" : failures)};
}

} // namespace quillmere
