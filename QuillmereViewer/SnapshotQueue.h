#pragma once

#include "QuillmereViewer/DecodedPicture.h"
#include "QuillmereViewer/SnapshotWriter.h"

#include <condition_variable>
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
    explicit SnapshotQueue(SnapshotWriter writer);
    ~SnapshotQueue();
    SnapshotQueue(const SnapshotQueue&) = delete;
    SnapshotQueue& operator=(const SnapshotQueue&) = delete;

    // Ignored once a write has failed.
    void post(DecodedPicture picture, std::uint32_t number);
    // The first write that failed, if any yet.
    std::optional<std::string> failure() const;
    // Waits for every picture posted: how many were written, else the first failure.
    std::expected<std::int64_t, std::string> drain();

private:
    struct Pending {
        DecodedPicture picture;
        std::uint32_t number = 0;
    };
    void work(std::stop_token stop);

    SnapshotWriter writer_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Pending> pending_;
    bool writing_ = false;
    std::int64_t written_ = 0;
    std::optional<std::string> failure_;
    std::jthread thread_;
};

} // namespace quillmere
