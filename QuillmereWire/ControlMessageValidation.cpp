#include "QuillmereWire/ControlMessageValidation.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/WireProtocol.h"
#include "QuillmereWire/WireText.h"

namespace quillmere {

namespace {

constexpr std::uint16_t maxPixels = 8192;
constexpr std::uint16_t maxFPS = 240;
constexpr std::uint8_t maxSurfaces = 16;
constexpr std::uint16_t minDatagram = 64;
constexpr std::uint32_t maxBitrateKbps = 500000;
constexpr std::uint16_t maxReportIntervalMs = 10000;
constexpr std::uint8_t maxThermalState = 3;
constexpr std::uint32_t opusSampleRate = 48000;

constexpr bool within(std::uint32_t value, std::uint32_t low, std::uint32_t high) {
    return value >= low && value <= high;
}

} // namespace

WireStatus validate(const Capabilities& c) {
    if (auto r = require(!c.codecs.hasUndefinedBits(), "capabilities.codecs"); !r) return r;
    if (auto r = require(!c.features.hasUndefinedBits(), "capabilities.features"); !r) return r;
    if (auto r = require(within(c.maxWidth, 1, maxPixels), "capabilities.maxWidth"); !r) return r;
    if (auto r = require(within(c.maxHeight, 1, maxPixels), "capabilities.maxHeight"); !r) return r;
    if (auto r = require(within(c.maxFPS, 1, maxFPS), "capabilities.maxFPS"); !r) return r;
    if (auto r = require(within(c.maxSurfaces, 1, maxSurfaces), "capabilities.maxSurfaces"); !r) return r;
    return require(c.maxDatagram >= minDatagram, "capabilities.maxDatagram");
}

WireStatus validate(const StreamConfig& s) {
    if (auto r = require(s.surfaceID != 0, "streamConfig.surfaceID"); !r) return r;
    if (auto r = require(within(s.width, 1, maxPixels), "streamConfig.width"); !r) return r;
    if (auto r = require(within(s.height, 1, maxPixels), "streamConfig.height"); !r) return r;
    if (auto r = require(within(s.fps, 1, maxFPS), "streamConfig.fps"); !r) return r;
    if (auto r = require(s.bitrateKbps <= maxBitrateKbps, "streamConfig.bitrateKbps"); !r) return r;
    const std::size_t count = s.parameterSets.size();
    if (auto r = require(count >= 1 && count <= StreamConfig::maxParameterSets, "streamConfig.parameterSetCount"); !r)
        return r;
    for (const Bytes& set : s.parameterSets) {
        if (auto r = require(!set.empty() && set.size() <= StreamConfig::maxParameterSetBytes,
                             "streamConfig.parameterSet");
            !r)
            return r;
    }
    return {};
}

WireStatus validate(const ReceiverReport& report) {
    if (auto r = require(within(report.intervalMs, 1, maxReportIntervalMs), "receiverReport.intervalMs"); !r) return r;
    return require(report.thermalState <= maxThermalState, "receiverReport.thermalState");
}

WireStatus validate(const CursorShape& shape) {
    if (auto r = require(!shape.png.empty() && shape.png.size() <= CursorShape::maxPNGBytes, "cursorShape.png"); !r)
        return r;
    return require(within(shape.pointHeight, 1, CursorShape::maxPointHeight), "cursorShape.pointHeight");
}

WireStatus validateInputText(std::string_view text) {
    return require(!text.empty() && text.size() <= InputEvent::maxTextBytes && !containsControlCharacter(text),
                   "input.text");
}

WireStatus validateSurfaceBudget(std::uint32_t surfaceID, std::uint16_t maxWidth, std::uint16_t maxHeight) {
    using WireProtocol::surfaceBudgetMax, WireProtocol::surfaceBudgetMin;
    if (auto r = require(surfaceID != 0, "surfaceBudget.surfaceID"); !r) return r;
    if (auto r = require(within(maxWidth, surfaceBudgetMin, surfaceBudgetMax), "surfaceBudget.size"); !r) return r;
    return require(within(maxHeight, surfaceBudgetMin, surfaceBudgetMax), "surfaceBudget.size");
}

WireStatus validateAudioConfig(std::uint32_t sampleRate, std::uint8_t channels, std::uint8_t frameMs) {
    if (auto r = require(sampleRate == opusSampleRate, "audioConfig.sampleRate"); !r) return r;
    if (auto r = require(channels == 1 || channels == 2, "audioConfig.channels"); !r) return r;
    return require(frameMs == 10 || frameMs == 20, "audioConfig.frameMs");
}

} // namespace quillmere
