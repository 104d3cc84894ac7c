#include "QuillmereViewer/SnapshotQueue.h"

namespace quillmere {

SnapshotQueue::SnapshotQueue(SnapshotWriter writer)
    : writer_(std::move(writer)), thread_([this](std::stop_token stop) { work(stop); }) {}

SnapshotQueue::~SnapshotQueue() {
    drain();
    thread_.request_stop();
}

void SnapshotQueue::post(const DecodedPicture& picture, std::uint32_t number) {
    {
        std::lock_guard lock(mutex_);
        if (failure_ || pending_.size() >= capacity) {
            ++skipped_;
            return;
        }
        pending_.push_back(Pending{picture, number});
    }
    changed_.notify_all();
}

std::optional<std::string> SnapshotQueue::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::int64_t SnapshotQueue::skipped() const {
    std::lock_guard lock(mutex_);
    return skipped_;
}

std::expected<std::int64_t, std::string> SnapshotQueue::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && !writing_; });
    if (failure_) return std::unexpected(*failure_);
    return written_;
}

void SnapshotQueue::skipWaiting() {
    skipped_ += static_cast<std::int64_t>(pending_.size());
    pending_.clear();
}

void SnapshotQueue::work(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!changed_.wait(lock, stop, [this] { return !pending_.empty(); })) return;
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        writing_ = true;
        lock.unlock();
        auto written = writer_.write(next.picture, next.number);
        lock.lock();
        writing_ = false;
        if (written) {
            ++written_;
        } else if (!failure_) {
            failure_ = written.error();
            skipWaiting();
        }
        changed_.notify_all();
    }
}

} // namespace quillmere
