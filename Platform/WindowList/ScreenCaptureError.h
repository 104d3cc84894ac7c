#pragma once

#include "Platform/WindowList/UnreadablePixels.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// A failure of the screen capture service, in the error domain and codes that
// capture sources map to their stop reasons. X failures are translated here:
// - the display cannot be opened: connectionInvalid;
// - the connection breaks while capturing: connectionInterrupted;
// - a required extension is missing or too old: failedToStart;
// - pixels of a depth or format capture cannot read: failedToStart, with
//   unreadable saying which;
// - the window or display to capture does not exist (any more): noCaptureSource;
// - the window list cannot be read: noWindowList; no display is found: noDisplayList;
// - a shared-memory or allocation failure: internalError;
// - a raster or frame rate that is not positive: invalidParameter;
// - a start, stop or configuration change in a state that has none: the
//   attempt...StreamState codes.
struct ScreenCaptureError {
    static constexpr std::string_view domainName = "ScreenCaptureErrorDomain";

    enum Code : int {
        userDeclined = -3801,
        failedToStart = -3802,
        connectionInvalid = -3804,
        connectionInterrupted = -3805,
        internalError = -3811,
        invalidParameter = -3812,
        noWindowList = -3813,
        noDisplayList = -3814,
        noCaptureSource = -3815,
        userStopped = -3817,
        attemptToStartStreamState = -3807,
        attemptToStopStreamState = -3808,
        attemptToConfigStreamState = -3810,
    };

    std::string domain{domainName};
    int code = internalError;
    // What went wrong in X terms, for logs; not part of equality.
    std::string detail;
    // Set when the content's pixels cannot be read at all: what people are
    // told instead of a code.
    std::optional<UnreadablePixels> unreadable{};

    static ScreenCaptureError make(Code code, std::string detail) {
        return ScreenCaptureError{std::string(domainName), code, std::move(detail), std::nullopt};
    }

    bool inScreenCaptureDomain() const { return domain == domainName; }
    // "<domain> <code>: <detail>".
    std::string description() const;

    friend bool operator==(const ScreenCaptureError& a, const ScreenCaptureError& b) {
        return a.domain == b.domain && a.code == b.code;
    }
};

} // namespace quillmere
