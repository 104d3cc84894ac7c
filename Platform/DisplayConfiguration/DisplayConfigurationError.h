#pragma once

#include <string>

namespace quillmere {

// Why a display configuration request did not happen.
struct DisplayConfigurationError {
    enum class Code {
        // The X display cannot be opened, or the connection broke.
        connectionFailed,
        // RandR is missing or older than the request needs.
        randrUnavailable,
        // The display (CRTC), output or mode named is not (or no longer) there.
        noSuchDisplay,
        noSuchMode,
        // Larger than the screen can become.
        tooLarge,
        // The server answered with an error or a failed status.
        refused,
    };

    Code code = Code::refused;
    // What went wrong in X terms, for logs; not part of equality.
    std::string detail;

    static DisplayConfigurationError make(Code code, std::string detail) { return {code, std::move(detail)}; }

    // "refused: BadMatch (8) on request 140.7".
    std::string description() const;

    friend bool operator==(const DisplayConfigurationError& a, const DisplayConfigurationError& b) {
        return a.code == b.code;
    }
};

} // namespace quillmere
