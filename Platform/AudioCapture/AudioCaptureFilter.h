#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillmere {

// Which applications' sound one audio capture carries: every application's
// but some, or only some. An application is a process with all its
// descendants: a stream belongs to it when the process the stream reports,
// or any ancestor of that process, is the application's.
struct AudioCaptureFilter {
    enum class Mode : std::uint8_t { excluding, including };

    Mode mode = Mode::excluding;
    std::vector<std::int32_t> processIDs;
    // The sound server's address ("unix:/run/user/1000/pulse/native"); empty:
    // the user's own server.
    std::string server;

    static AudioCaptureFilter excludingApplications(std::vector<std::int32_t> processIDs, std::string server = {}) {
        return {Mode::excluding, std::move(processIDs), std::move(server)};
    }
    static AudioCaptureFilter includingApplications(std::vector<std::int32_t> processIDs, std::string server = {}) {
        return {Mode::including, std::move(processIDs), std::move(server)};
    }

    // Whether a stream is heard, given its process's lineage (the process,
    // its parent, ...); a stream that names no process (an empty lineage) is
    // heard only when applications are excluded.
    bool admits(std::span<const std::int32_t> lineage) const {
        const bool listed = std::any_of(lineage.begin(), lineage.end(), [&](std::int32_t processID) {
            return std::find(processIDs.begin(), processIDs.end(), processID) != processIDs.end();
        });
        return mode == Mode::including ? listed : !listed;
    }

    bool operator==(const AudioCaptureFilter&) const = default;
};

} // namespace quillmere
