#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillmere {

// Runs one job over horizontal bands of a picture on several threads at
// once, the caller's among them, and returns when every band is done. The
// helper threads start at the first job that wants them and sleep between
// jobs; a picture small enough for one band wakes none.
class BandWorkers {
public:
    using Job = std::function<void(int band)>;

    // At most this many bands at once (the caller counts as one).
    explicit BandWorkers(int maximumBands);
    ~BandWorkers();
    BandWorkers(const BandWorkers&) = delete;
    BandWorkers& operator=(const BandWorkers&) = delete;

    int maximumBands() const { return maximumBands_; }
    // Calls job(0) .. job(bands - 1), bands clamped to 1..maximumBands().
    void run(int bands, const Job& job);

private:
    void work(int index);

    const int maximumBands_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const Job* job_ = nullptr;
    int bands_ = 0;
    int pending_ = 0;
    unsigned generation_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> helpers_;
};

} // namespace quillmere
