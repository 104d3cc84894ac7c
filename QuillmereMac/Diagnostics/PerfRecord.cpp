#include "QuillmereMac/Diagnostics/PerfRecord.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

namespace quillmere {

namespace {

using Stats = SurfacePipeline::Stats;
using Json = PerfRecord::Json;

// Counters that only grow while their pipeline lives.
bool wentDown(const Stats& c, const Stats& p) {
    const std::int64_t Stats::*counters[] = {
        &Stats::captured,     &Stats::encoded,    &Stats::sent,      &Stats::keyframes,
        &Stats::configs,      &Stats::encoderDrops, &Stats::staleOutputs, &Stats::tierSkipped,
        &Stats::quietSkipped, &Stats::unchanged,  &Stats::maxEncodeLatencyNs, &Stats::totalEncodeLatencyNs,
        &Stats::encodedBytes, &Stats::pickupNs,   &Stats::pickups,   &Stats::compareNs,
        &Stats::compares,     &Stats::encoderNs,  &Stats::encoderSamples, &Stats::outputWaitNs,
        &Stats::rememberNs,   &Stats::remembers,  &Stats::comparesSkipped, &Stats::encoderRefusals,
    };
    return std::any_of(std::begin(counters), std::end(counters), [&](auto field) { return c.*field < p.*field; });
}

bool wentDown(const TransportMetrics& c, const TransportMetrics& p) {
    const std::int64_t TransportMetrics::*counters[] = {
        &TransportMetrics::framesAdmitted, &TransportMetrics::framesSent,    &TransportMetrics::framesDropped,
        &TransportMetrics::datagramsSent,  &TransportMetrics::datagramsRejectedByStack,
        &TransportMetrics::maxSendAgeNs,   &TransportMetrics::bytesSent,     &TransportMetrics::totalSendAgeNs,
    };
    return std::any_of(std::begin(counters), std::end(counters), [&](auto field) { return c.*field < p.*field; });
}

bool wentDown(const DatagramPacer::Metrics& c, const DatagramPacer::Metrics& p) {
    using M = DatagramPacer::Metrics;
    const std::int64_t M::*counters[] = {&M::paced,        &M::immediate, &M::totalDelayNs, &M::stackSamples,
                                         &M::stackTotalNs, &M::stalls,    &M::staleDropped, &M::maxDelayNs,
                                         &M::maxStallNs};
    return std::any_of(std::begin(counters), std::end(counters), [&](auto field) { return c.*field < p.*field; });
}

std::int64_t difference(std::int64_t c, std::int64_t p) { return c > p ? c - p : 0; }

double rate(std::int64_t c, std::int64_t p, double dt) { return PerfRecord::r3(static_cast<double>(difference(c, p)) / dt); }

// Written only when the count moved.
void mean(Json& record, const char* key, std::int64_t total, std::int64_t totalBefore, std::int64_t count,
          std::int64_t countBefore) {
    const std::int64_t counted = difference(count, countBefore);
    if (counted < 1) return;
    const double nanoseconds = static_cast<double>(total) - static_cast<double>(totalBefore);
    record[key] = PerfRecord::number(PerfRecord::r3(nanoseconds / static_cast<double>(counted) / 1'000'000.0));
}

Json milliseconds(std::int64_t nanoseconds) {
    return PerfRecord::number(PerfRecord::r3(static_cast<double>(nanoseconds) / 1'000'000.0));
}

} // namespace

double PerfRecord::r3(double x) { return std::round(x * 1000.0) / 1000.0; }

Json PerfRecord::number(double x) {
    if (!std::isfinite(x)) return nullptr;
    // Integers of doubles are exact up to 2^53.
    if (x == std::trunc(x) && std::fabs(x) <= 9007199254740992.0) return static_cast<std::int64_t>(x);
    return x;
}

Json PerfRecord::surface(std::uint32_t surfaceID, const PerfSurfaceSample& current,
                         const std::optional<PerfSurfaceSample>& previous, double dt) {
    dt = std::max(dt, 0.001);
    const Stats& c = current.perf.stats;
    Stats p;
    if (previous && !wentDown(c, previous->perf.stats)) p = previous->perf.stats;

    Json record = Json::object();
    record["id"] = surfaceID;
    record["kind"] = kind(current.choice);
    record["raster"] = fmt::format("{}x{}", current.perf.width, current.perf.height);
    record["fps"] = current.fps;
    record["tierFPS"] = current.perf.fps;
    record["kbpsTarget"] = current.perf.bitrateKbps;
    record["captureFPS"] = number(rate(c.captured, p.captured, dt));
    record["encodeFPS"] = number(rate(c.encoded, p.encoded, dt));
    record["sentFPS"] = number(rate(c.sent, p.sent, dt));
    record["unchangedFPS"] = number(rate(c.unchanged, p.unchanged, dt));
    record["tierSkippedFPS"] = number(rate(c.tierSkipped, p.tierSkipped, dt));
    record["quietSkippedFPS"] = number(rate(c.quietSkipped, p.quietSkipped, dt));
    record["encoderDrops"] = difference(c.encoderDrops, p.encoderDrops);
    record["encoderRefusals"] = difference(c.encoderRefusals, p.encoderRefusals);
    record["keyframes"] = difference(c.keyframes, p.keyframes);
    mean(record, "encodeMs", c.totalEncodeLatencyNs, p.totalEncodeLatencyNs, c.encoded, p.encoded);
    mean(record, "pickupMs", c.pickupNs, p.pickupNs, c.pickups, p.pickups);
    mean(record, "compareMs", c.compareNs, p.compareNs, c.compares, p.compares);
    mean(record, "encoderMs", c.encoderNs, p.encoderNs, c.encoderSamples, p.encoderSamples);
    mean(record, "outputWaitMs", c.outputWaitNs, p.outputWaitNs, c.encoderSamples, p.encoderSamples);
    mean(record, "rememberMs", c.rememberNs, p.rememberNs, c.remembers, p.remembers);
    record["comparesSkippedFPS"] = number(rate(c.comparesSkipped, p.comparesSkipped, dt));
    record["maxFrameKB"] = number(r3(static_cast<double>(c.maxFrameBytes) / 1024.0));
    if (c.maxKeyframeBytes >= 1) record["maxKeyframeKB"] = number(r3(static_cast<double>(c.maxKeyframeBytes) / 1024.0));
    record["encodeMaxMsSession"] = milliseconds(c.maxEncodeLatencyNs);
    record["encodedMbps"] =
        number(r3(static_cast<double>(difference(c.encodedBytes, p.encodedBytes)) * 8.0 / 1'000'000.0 / dt));

    if (current.transport) {
        const TransportMetrics& ct = *current.transport;
        TransportMetrics pt;
        if (previous && previous->transport && !wentDown(ct, *previous->transport)) pt = *previous->transport;
        record["sentMbps"] =
            number(r3(static_cast<double>(difference(ct.bytesSent, pt.bytesSent)) * 8.0 / 1'000'000.0 / dt));
        record["sendDropped"] = difference(ct.framesDropped, pt.framesDropped);
        record["datagramsPerS"] = number(rate(ct.datagramsSent, pt.datagramsSent, dt));
        record["datagramsRejected"] = difference(ct.datagramsRejectedByStack, pt.datagramsRejectedByStack);
        mean(record, "sendAgeMs", ct.totalSendAgeNs, pt.totalSendAgeNs, ct.framesSent, pt.framesSent);
        record["sendAgeMaxMsSession"] = milliseconds(ct.maxSendAgeNs);
        record["datagramSize"] = ct.lastUsableDatagramSize;
    }
    return record;
}

Json PerfRecord::pacer(const DatagramPacer::Metrics& c, const std::optional<DatagramPacer::Metrics>& previous) {
    DatagramPacer::Metrics p;
    if (previous && !wentDown(c, *previous)) p = *previous;
    const std::int64_t paced = difference(c.paced, p.paced);
    Json record = Json::object();
    record["paced"] = paced;
    record["immediate"] = difference(c.immediate, p.immediate);
    record["maxQueued"] = c.maxQueued;
    record["meanDelayMs"] =
        paced >= 1 ? number(r3((static_cast<double>(c.totalDelayNs) - static_cast<double>(p.totalDelayNs)) /
                               static_cast<double>(paced) / 1'000'000.0))
                   : Json(0);
    record["maxDelayMsSession"] = milliseconds(c.maxDelayNs);
    record["stackMeanMs"] =
        c.stackSamples > p.stackSamples
            ? number(r3((static_cast<double>(c.stackTotalNs) - static_cast<double>(p.stackTotalNs)) /
                        static_cast<double>(c.stackSamples - p.stackSamples) / 1'000'000.0))
            : Json(0);
    record["stackMaxMs"] = milliseconds(c.stackMaxNs);
    record["stalls"] = difference(c.stalls, p.stalls);
    record["staleDropped"] = difference(c.staleDropped, p.staleDropped);
    record["maxStallMsSession"] = milliseconds(c.maxStallNs);
    return record;
}

std::optional<std::string> PerfRecord::powerText(const std::optional<std::vector<PowerSourceDescription>>& sources) {
    if (!sources) return std::nullopt;
    // A machine without a battery of its own runs on mains.
    const bool hasBattery = std::any_of(sources->begin(), sources->end(),
                                        [](const auto& source) { return source.type == "InternalBattery"; });
    const bool onMains = !hasBattery || std::any_of(sources->begin(), sources->end(), [](const auto& source) {
                             return source.powerSourceState == "AC Power";
                         });
    const std::string kind = onMains ? "AC" : "battery";
    for (const PowerSourceDescription& source : *sources) {
        if (!source.currentCapacity || !source.maxCapacity || *source.maxCapacity < 1) continue;
        const std::int64_t current = *source.currentCapacity;
        if (current > std::numeric_limits<std::int64_t>::max() / 100 ||
            current < std::numeric_limits<std::int64_t>::min() / 100)
            continue;
        return fmt::format("{} {}%", kind, current * 100 / *source.maxCapacity);
    }
    return kind;
}

Json PerfRecord::wifi(const WiFiStatus& status, bool awdlRunning) {
    Json record = Json::object();
    record["rssi"] = status.rssi;
    record["noise"] = status.noise;
    record["txRate"] = number(status.txRateMbps);
    if (status.channel) {
        record["channel"] = status.channel->number;
        switch (status.channel->band) {
        case WiFiStatus::Band::ghz2_4: record["band"] = "2.4GHz"; break;
        case WiFiStatus::Band::ghz5: record["band"] = "5GHz"; break;
        case WiFiStatus::Band::ghz6: record["band"] = "6GHz"; break;
        default: record["band"] = "?"; break;
        }
        record["width"] = status.channel->widthMHz;
    }
    record["awdlRunning"] = awdlRunning;
    return record;
}

std::string PerfRecord::thermalName(int state) {
    switch (state) {
    case 0: return "nominal";
    case 1: return "fair";
    case 2: return "serious";
    case 3: return "critical";
    default: return "unknown";
    }
}

std::optional<std::string> PerfRecord::audioRoutes(const std::map<std::uint32_t, AudioRouting::Route>& routes) {
    if (routes.empty()) return std::nullopt;
    return AudioRouting::describe(routes);
}

std::string PerfRecord::kind(const CaptureChoice& choice) {
    switch (choice.kind) {
    case CaptureChoice::Kind::window: return "window";
    case CaptureChoice::Kind::display: return "display" + std::to_string(choice.value);
    case CaptureChoice::Kind::testPattern: return "testPattern";
    }
    return "window";
}

std::string PerfRecord::timestamp(std::int64_t unixMilliseconds) {
    std::int64_t seconds = unixMilliseconds / 1000;
    std::int64_t millis = unixMilliseconds % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (::gmtime_r(&time, &utc) == nullptr) return "1970-01-01T00:00:00.000Z";
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
}

std::string PerfRecord::line(const Json& record) {
    return record.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

} // namespace quillmere
