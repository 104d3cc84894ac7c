#include "QuillmereViewer/SnapshotQueue.h"

#include <chrono>

namespace quillmere {
namespace {

// How often a drain looks at the interruption, which cannot wake it.
constexpr std::chrono::milliseconds interruptionPoll(20);

} // namespace

SnapshotQueue::SnapshotQueue(SnapshotWriter writer, const Interruption& interruption)
    : writer_(std::move(writer)), interruption_(interruption),
      thread_([this](std::stop_token stop) { work(stop); }) {}

SnapshotQueue::~SnapshotQueue() { thread_.request_stop(); }

void SnapshotQueue::post(const DecodedPicture& picture, std::uint32_t number) {
    {
        std::lock_guard lock(mutex_);
        if (failure_ || interruption_.raised() || pending_.size() >= capacity) {
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
    while (!changed_.wait_for(lock, interruptionPoll,
                              [this] { return !writing_ && (pending_.empty() || interruption_.raised()); })) {
    }
    if (interruption_.raised()) skipWaiting();
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
        // A stop ends the wait with pictures still waiting: they are dropped.
        changed_.wait(lock, stop, [this] { return !pending_.empty(); });
        if (stop.stop_requested()) return;
        if (interruption_.raised()) {
            skipWaiting();
            continue;
        }
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
