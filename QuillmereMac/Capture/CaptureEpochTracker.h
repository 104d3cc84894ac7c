#pragma once

#include "Platform/ScreenCapture/ScreenCaptureSample.h"

#include <cstdint>
#include <vector>

namespace quillmere {

// Turns the platform's per-frame status into the events a source delivers and
// numbers the capture epochs (one per raster) and frames. Lives as long as its
// source: a restarted source goes on counting.
struct CaptureEpochTracker {
    // The stream's frame statuses.
    static constexpr std::int64_t statusComplete = ScreenCaptureFrameStatus::complete;
    static constexpr std::int64_t statusIdle = ScreenCaptureFrameStatus::idle;
    static constexpr std::int64_t statusBlank = ScreenCaptureFrameStatus::blank;
    static constexpr std::int64_t statusSuspended = ScreenCaptureFrameStatus::suspended;
    static constexpr std::int64_t statusStarted = ScreenCaptureFrameStatus::started;
    static constexpr std::int64_t statusStopped = ScreenCaptureFrameStatus::stopped;

    struct CaptureEventKind {
        enum class Case : std::uint8_t { epochChanged, frame, idle, stopped };

        Case kind = Case::idle;
        std::uint32_t epoch = 0;
        std::uint64_t sequence = 0;

        static CaptureEventKind epochChanged(std::uint32_t epoch) { return {Case::epochChanged, epoch, 0}; }
        static CaptureEventKind frame(std::uint32_t epoch, std::uint64_t sequence) { return {Case::frame, epoch, sequence}; }
        static CaptureEventKind idle() { return {Case::idle, 0, 0}; }
        static CaptureEventKind stopped() { return {Case::stopped, 0, 0}; }

        bool operator==(const CaptureEventKind&) const = default;
    };

    std::uint32_t epoch = 0;
    int width = 0;
    int height = 0;
    std::uint64_t sequence = 0;
    std::int64_t idleCount = 0;
    bool hasFrame = false;

    // width and height of the sample's image, 0 and 0 without one. Returns
    // the events in delivery order.
    std::vector<CaptureEventKind> observe(std::int64_t status, int width, int height);
};

} // namespace quillmere
