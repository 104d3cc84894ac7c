#pragma once

#include "QuillmereMac/Capture/CaptureEvent.h"
#include "QuillmereMac/Capture/CaptureSource.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace quillmere::testing {

// Collects a source's events and lets a test wait for the one it expects.
class CaptureRecorder {
public:
    struct Entry {
        CaptureEvent event;
        std::chrono::steady_clock::time_point at;
    };

    // Frames are kept as copies: holding the stream's own buffers would use
    // up its queue depth and stall it.
    CaptureEventHandler handler() {
        return [this](CaptureEvent event) {
            if (const CapturedFrame* frame = event.capturedFrame()) {
                CapturedFrame copy = *frame;
                copy.pixelBuffer = duplicate(*frame->pixelBuffer);
                event = CaptureEvent::frame(std::move(copy));
            }
            {
                std::lock_guard lock(mutex_);
                entries_.push_back({std::move(event), std::chrono::steady_clock::now()});
            }
            changed_.notify_all();
        };
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

    std::vector<Entry> entries() {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    // Waits until an event from index `from` on satisfies the predicate;
    // returns its index, or -1 on timeout.
    long waitFor(std::size_t from, const std::function<bool(const CaptureEvent&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        long found = -1;
        changed_.wait_for(lock, timeout, [&] {
            for (std::size_t i = from; i < entries_.size(); ++i) {
                if (predicate(entries_[i].event)) {
                    found = static_cast<long>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    long waitForFrame(std::size_t from = 0, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return waitFor(from, [](const CaptureEvent& event) { return event.capturedFrame() != nullptr; }, timeout);
    }

    CaptureEvent at(std::size_t index) {
        std::lock_guard lock(mutex_);
        return entries_.at(index).event;
    }

private:
    static PixelBufferRef duplicate(PixelBuffer& source) {
        auto copy = *PixelBuffer::make(source.pixelFormat(), source.width(), source.height());
        source.lockBaseAddress(PixelBuffer::Lock::readOnly);
        copy->lockBaseAddress(PixelBuffer::Lock::readWrite);
        for (std::size_t plane = 0; plane < source.planeCount(); ++plane) {
            const std::size_t rowBytes =
                static_cast<std::size_t>(source.planeWidth(plane)) * source.planeBytesPerColumn(plane);
            for (int row = 0; row < source.planeHeight(plane); ++row) {
                std::memcpy(copy->planeBaseAddress(plane) + row * copy->planeBytesPerRow(plane),
                            source.planeBaseAddress(plane) + row * source.planeBytesPerRow(plane), rowBytes);
            }
        }
        copy->unlockBaseAddress(PixelBuffer::Lock::readWrite);
        source.unlockBaseAddress(PixelBuffer::Lock::readOnly);
        return copy;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

} // namespace quillmere::testing
