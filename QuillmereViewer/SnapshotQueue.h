#pragma once

#include "QuillmereViewer/DecodedPicture.h"
#include "QuillmereViewer/Interruption.h"
#include "QuillmereViewer/SnapshotWriter.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quillmere {

// Writes snapshots on a thread of its own. A large picture takes a PNG
// encoder hundreds of milliseconds; on the connection's queue that would
// hold up acknowledgements and assembly, and the host would see losses the
// network never made.
class SnapshotQueue {
public:
    // Pictures waiting beside the one being written. Each holds decoder
    // buffers (12 MB at 3840x2160) and the encoder falls behind a fast
    // stream: a longer line only holds memory and delays the run's end.
    static constexpr std::size_t capacity = 2;

    // The interruption must outlive the queue.
    SnapshotQueue(SnapshotWriter writer, const Interruption& interruption);
    // Finishes the picture being written; those waiting are dropped.
    ~SnapshotQueue();
    SnapshotQueue(const SnapshotQueue&) = delete;
    SnapshotQueue& operator=(const SnapshotQueue&) = delete;

    // Copies the picture in when there is room; otherwise, after an
    // interruption or a failed write, it is skipped.
    void post(const DecodedPicture& picture, std::uint32_t number);
    // The first write that failed, if any yet.
    std::optional<std::string> failure() const;
    // Pictures posted that were not and will not be written.
    std::int64_t skipped() const;
    // Waits for every picture posted, or once interrupted only for the one
    // being written: how many were written, else the first failure.
    std::expected<std::int64_t, std::string> drain();

private:
    struct Pending {
        DecodedPicture picture;
        std::uint32_t number = 0;
    };
    void work(std::stop_token stop);
    // With the lock held.
    void skipWaiting();

    SnapshotWriter writer_;
    const Interruption& interruption_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Pending> pending_;
    bool writing_ = false;
    std::int64_t written_ = 0;
    std::int64_t skipped_ = 0;
    std::optional<std::string> failure_;
    std::jthread thread_;
};

} // namespace quillmere
