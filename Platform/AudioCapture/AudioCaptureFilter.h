#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// Which applications' sound one audio capture carries: every application's
// but some, or only some. Applications are known by the process identifier
// their audio streams report.
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

    // Whether a stream of the process is heard; a stream that names no
    // process is heard only when applications are excluded.
    bool admits(std::optional<std::int32_t> processID) const {
        const bool listed =
            processID && std::find(processIDs.begin(), processIDs.end(), *processID) != processIDs.end();
        return mode == Mode::including ? listed : !listed;
    }

    bool operator==(const AudioCaptureFilter&) const = default;
};

} // namespace quillmere
