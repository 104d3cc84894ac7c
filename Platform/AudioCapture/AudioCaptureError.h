#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// Why audio capture could not start or ended: the sound server's own words
// in detail.
struct AudioCaptureError {
    enum class Kind : std::uint8_t {
        // No sound server answered at the address.
        connectionFailed,
        // The server refused or dropped a request or a stream.
        streamFailed,
        // The server went away while capturing.
        disconnected,
    };

    Kind kind = Kind::connectionFailed;
    std::string detail;

    static AudioCaptureError connectionFailed(std::string detail) { return {Kind::connectionFailed, std::move(detail)}; }
    static AudioCaptureError streamFailed(std::string detail) { return {Kind::streamFailed, std::move(detail)}; }
    static AudioCaptureError disconnected(std::string detail) { return {Kind::disconnected, std::move(detail)}; }

    // "audio capture: connection failed: Connection refused"
    std::string description() const;
    // The same without the leading "audio capture: ".
    std::string reason() const;
    bool operator==(const AudioCaptureError&) const = default;
};

} // namespace quillmere
