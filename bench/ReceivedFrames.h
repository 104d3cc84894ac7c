#pragma once

// What a viewer received over a stretch of time, read from its frame timing
// log (one JSON record per assembled frame, on the viewer's clock, which is
// the host's on one machine): how many frames a second, the longest time
// between two, and where that gap was born. A gap whose frames were captured
// as far apart was made before sending (capture, the frame gate, the
// encoder); one between frames captured close together was made on the way;
// missing frame identifiers are frames sent and never assembled.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quillmere::bench {

struct ReceivedFrames {
    // Gaps longer than this are counted (two frame intervals at 60 fps).
    static constexpr std::uint64_t longGapNs = 34'000'000;

    std::int64_t frames = 0;
    double fps = 0;
    double longestGapMs = 0;
    // Between the captures of the two frames around the longest gap.
    double longestGapCapturedMs = 0;
    std::int64_t longGaps = 0;
    // Frame identifiers skipped between frames received.
    std::int64_t missing = 0;

    // Frames assembled from start to end (nanoseconds of the viewer's clock);
    // nothing when the log holds none there.
    static std::optional<ReceivedFrames> from(const std::string& log, std::uint64_t start, std::uint64_t end) {
        struct Record {
            std::uint64_t assembled;
            std::uint64_t captured;
            std::uint32_t frame;
        };
        std::vector<Record> records;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);) {
            const auto record = nlohmann::json::parse(line, nullptr, false);
            if (record.is_discarded() || !record["assembledNs"].is_number() || !record["captureNs"].is_number())
                continue;
            const auto assembled = record["assembledNs"].get<std::uint64_t>();
            if (assembled < start || assembled > end) continue;
            records.push_back(
                {assembled, record["captureNs"].get<std::uint64_t>(), record["frame"].get<std::uint32_t>()});
        }
        if (records.size() < 2) return std::nullopt;
        std::sort(records.begin(), records.end(),
                  [](const Record& a, const Record& b) { return a.assembled < b.assembled; });

        ReceivedFrames received;
        received.frames = static_cast<std::int64_t>(records.size());
        // Between the first frame and the last, so the stretch's edges add
        // or take no frame.
        const std::uint64_t span = records.back().assembled - records.front().assembled;
        received.fps = span > 0 ? static_cast<double>(records.size() - 1) * 1e9 / static_cast<double>(span) : 0;
        for (std::size_t i = 1; i < records.size(); ++i) {
            const Record& before = records[i - 1];
            const Record& after = records[i];
            const std::uint64_t gap = after.assembled - before.assembled;
            const double captureGapMs =
                after.captured >= before.captured ? static_cast<double>(after.captured - before.captured) / 1e6 : 0;
            if (gap > longGapNs) ++received.longGaps;
            if (static_cast<double>(gap) / 1e6 > received.longestGapMs) {
                received.longestGapMs = static_cast<double>(gap) / 1e6;
                received.longestGapCapturedMs = captureGapMs;
            }
            // Identifiers wrap through 0; a new numbering (a reconnection) is no loss.
            const std::uint32_t step = after.frame - before.frame;
            if (step >= 1 && step < 1000) received.missing += step - 1;
        }
        return received;
    }
};

} // namespace quillmere::bench
