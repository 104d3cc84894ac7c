#include "Platform/ScreenCapture/BandWorkers.h"

#include <algorithm>

#include <pthread.h>

namespace quillmere {

BandWorkers::BandWorkers(int maximumBands) : maximumBands_(std::max(maximumBands, 1)) {}

BandWorkers::~BandWorkers() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void BandWorkers::run(int bands, const Job& job) {
    bands = std::clamp(bands, 1, maximumBands_);
    if (bands == 1) {
        job(0);
        return;
    }
    while (static_cast<int>(helpers_.size()) < bands - 1) {
        const int index = static_cast<int>(helpers_.size()) + 1;
        helpers_.emplace_back([this, index] { work(index); });
    }
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        bands_ = bands;
        pending_ = bands - 1;
        ++generation_;
    }
    wake_.notify_all();
    job(0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
}

void BandWorkers::work(int index) {
    pthread_setname_np(pthread_self(), "quill-band");
    unsigned seen = 0;
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
        if (index >= bands_) continue;
        const Job* job = job_;
        lock.unlock();
        (*job)(index);
        lock.lock();
        if (--pending_ == 0) done_.notify_one();
    }
}

} // namespace quillmere
