#include "Platform/Dispatch/OrderedWork.h"

namespace quillmere {

OrderedWork::OrderedWork(std::string label) : queue_(std::move(label)) {}

OrderedWork::~OrderedWork() {
    if (running()) return;
    std::unique_lock lock(mutex_);
    turnEnded_.wait(lock, [&] { return ended_ == taken_; });
}

void OrderedWork::async(Work work) {
    // The turn and the queue's place are taken as one: a later turn queued
    // first would hold the serial queue while it waits for this one.
    std::lock_guard lock(mutex_);
    queue_.async([this, turn = taken_++, work = std::move(work)] { run(turn, work); });
}

void OrderedWork::sync(const Work& work) {
    if (running()) work();
    else run(take(), work);
}

OrderedWork::Turn OrderedWork::take() {
    std::lock_guard lock(mutex_);
    return taken_++;
}

void OrderedWork::run(Turn turn, const Work& work) {
    std::unique_lock lock(mutex_);
    turnEnded_.wait(lock, [&] { return ended_ == turn; });
    runner_ = std::this_thread::get_id();
    lock.unlock();
    work();
    lock.lock();
    runner_ = {};
    ++ended_;
    turnEnded_.notify_all();
}

bool OrderedWork::running() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

} // namespace quillmere
