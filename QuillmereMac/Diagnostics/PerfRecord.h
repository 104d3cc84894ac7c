#pragma once

#include "QuillmereMac/Diagnostics/PerfSurfaceSample.h"
#include "QuillmereMac/Sending/DatagramPacer.h"

#include "Platform/Power/PowerSourceDescription.h"
#include "Platform/WiFi/WiFiStatus.h"
#include "QuillmereMacCore/AudioRouting.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The parts of the diagnostics log's records that are computed from
// figures: pure functions, no reading of the machine and no I/O.
//
// Rates and means are differences against the previous sample. A counter
// that went down means the pipeline, sender or pacer behind it was replaced;
// the previous sample is then taken as absent, so no figure is negative.
struct PerfRecord {
    using Json = nlohmann::json;

    // round(x * 1000) / 1000, halves away from zero.
    static double r3(double x);
    // Integral values as integers ("captureFPS":30, never 30.0).
    static Json number(double x);

    // One surface's record against its previous sample (none: all zeros).
    // dt is in seconds and at least 0.001.
    static Json surface(std::uint32_t surfaceID, const PerfSurfaceSample& current,
                        const std::optional<PerfSurfaceSample>& previous, double dt);
    static Json pacer(const DatagramPacer::Metrics& current, const std::optional<DatagramPacer::Metrics>& previous);

    // "AC", "battery", "battery 87%"; none when the sources cannot be read.
    static std::optional<std::string> powerText(const std::optional<std::vector<PowerSourceDescription>>& sources);
    static Json wifi(const WiFiStatus& status, bool awdlRunning);
    // "nominal", "fair", "serious", "critical", else "unknown".
    static std::string thermalName(int state);
    // "s1:app(pid: 500) s2:silent"; none without routes.
    static std::optional<std::string> audioRoutes(const std::map<std::uint32_t, AudioRouting::Route>& routes);
    // "window", "display0", "testPattern".
    static std::string kind(const CaptureChoice& choice);

    // ISO 8601 in UTC with milliseconds: 2026-12-06T13:25:17.123Z.
    static std::string timestamp(std::int64_t unixMilliseconds);
    // The record as one line of sorted keys ending in a line feed; text that
    // is not UTF-8 is replaced rather than failing the line.
    static std::string line(const Json& record);
};

} // namespace quillmere
