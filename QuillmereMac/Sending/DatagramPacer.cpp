#include "QuillmereMac/Sending/DatagramPacer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillmere {

namespace {

// Differences that would be negative count as 0.
std::uint64_t since(std::uint64_t now, std::uint64_t then) { return now > then ? now - then : 0; }

std::int64_t asCount(std::uint64_t ns) {
    return ns > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(ns);
}

// Spent entries ahead of the head are removed only once they dominate the
// list, so that a queue that never quite empties cannot grow without bound.
constexpr std::size_t compactAfter = 1024;

} // namespace

std::shared_ptr<DatagramPacer> DatagramPacer::make(Executor& queue, ClockFunction clock, RawSend rawSend) {
    return make(queue, std::move(clock), std::move(rawSend), Config());
}

std::shared_ptr<DatagramPacer> DatagramPacer::make(Executor& queue, ClockFunction clock, RawSend rawSend,
                                                   Config config) {
    return std::make_shared<DatagramPacer>(queue, std::move(clock), std::move(rawSend), config);
}

DatagramPacer::DatagramPacer(Executor& queue, ClockFunction clock, RawSend rawSend, Config config)
    : config_(config), queue_(queue), clock_(std::move(clock)), rawSend_(std::move(rawSend)),
      rate_(std::max<std::int64_t>(1, std::llround(std::min(config.bytesPerSecond, 1e15)))),
      burstNano_(std::llround(std::clamp(config.burstBytes, 1.0, 1e9) * 1e9)), tokensNano_(burstNano_),
      refilledAt_(clock_()) {}

DatagramPacer::~DatagramPacer() {
    if (timer_) timer_->cancel();
}

std::int64_t DatagramPacer::nano(std::size_t bytes) {
    // Datagrams stay far below the 9 GB where this would overflow.
    return static_cast<std::int64_t>(bytes) * 1'000'000'000;
}

std::int64_t DatagramPacer::needed(const SharedBytes& bytes) const {
    return std::min(nano(bytes.size()), burstNano_);
}

void DatagramPacer::refill() {
    const std::uint64_t now = clock_();
    const std::uint64_t elapsed = since(now, refilledAt_);
    const std::int64_t room = burstNano_ - tokensNano_;
    if (room > 0) {
        if (elapsed > static_cast<std::uint64_t>(room / rate_))
            tokensNano_ = burstNano_;
        else
            tokensNano_ = std::min(burstNano_, tokensNano_ + static_cast<std::int64_t>(elapsed) * rate_);
    }
    refilledAt_ = now;
}

bool DatagramPacer::stalled(std::uint64_t now) {
    if (inFlightHead_ >= inFlight_.size()) return false;
    const std::uint64_t oldest = inFlight_[inFlightHead_];
    if (since(now, oldest) <= config_.stallNs) return false;
    if (!stallStartedAt_) {
        stallStartedAt_ = oldest;
        metrics_.stalls += 1;
    }
    return true;
}

void DatagramPacer::send(SharedBytes bytes, Completion completion) {
    refill();
    if (head_ >= pending_.size() && tokensNano_ >= needed(bytes) && !stalled(clock_())) {
        tokensNano_ -= nano(bytes.size());
        metrics_.immediate += 1;
        transmit(std::move(bytes), std::move(completion));
        return;
    }
    pending_.push_back({std::move(bytes), clock_(), std::move(completion)});
    metrics_.maxQueued = std::max(metrics_.maxQueued, static_cast<std::int64_t>(waitingCount()));
    drain();
}

void DatagramPacer::transmit(SharedBytes bytes, Completion completion) {
    const std::uint64_t sentAt = clock_();
    inFlight_.push_back(sentAt);
    const std::uint64_t generation = closeGeneration_;
    rawSend_(std::move(bytes),
             [weak = weak_from_this(), sentAt, generation, completion = std::move(completion)](bool sent) {
                 // Only the clock and the queue are touched here, both safe
                 // from the transport's thread; the state waits for the hop.
                 if (const auto self = weak.lock()) {
                     const std::uint64_t elapsed = since(self->clock_(), sentAt);
                     self->queue_.async([weak, generation, elapsed] {
                         if (const auto pacer = weak.lock()) pacer->completed(generation, elapsed);
                     });
                 }
                 if (completion) completion(sent);
             });
}

void DatagramPacer::completed(std::uint64_t generation, std::uint64_t elapsedNs) {
    const std::int64_t elapsed = asCount(elapsedNs);
    metrics_.stackSamples += 1;
    metrics_.stackTotalNs += elapsed;
    metrics_.stackMaxNs = std::max(metrics_.stackMaxNs, elapsed);
    // A send from before close() was already forgotten with its list.
    if (generation != closeGeneration_ || inFlightHead_ >= inFlight_.size()) return;

    inFlightHead_ += 1;
    if (inFlightHead_ >= inFlight_.size()) {
        inFlight_.clear();
        inFlightHead_ = 0;
    }
    if (!stallStartedAt_) return;
    const std::uint64_t now = clock_();
    if (inFlightHead_ < inFlight_.size() && since(now, inFlight_[inFlightHead_]) > config_.stallNs) return;
    metrics_.maxStallNs = std::max(metrics_.maxStallNs, asCount(since(now, *stallStartedAt_)));
    stallStartedAt_.reset();
    dropStale();
    drain();
}

void DatagramPacer::dropStale() {
    const std::uint64_t now = clock_();
    // Taken out before any is called: a completion may call back into the pacer.
    std::vector<Completion> dropped;
    while (head_ < pending_.size() && since(now, pending_[head_].enqueuedAt) > config_.staleNs) {
        dropped.push_back(std::move(pending_[head_].completion));
        pending_[head_].bytes = {};
        head_ += 1;
    }
    if (head_ >= pending_.size()) {
        pending_.clear();
        head_ = 0;
    }
    if (dropped.empty()) return;
    for (Completion& completion : dropped)
        if (completion) completion(false);
    const auto count = static_cast<std::int64_t>(dropped.size());
    metrics_.staleDropped += count;
    if (onStaleDropped) onStaleDropped(count);
}

void DatagramPacer::drain() {
    refill();
    if (stalled(clock_())) {
        arm(stallRecheckNs);
        return;
    }
    while (head_ < pending_.size() && tokensNano_ >= needed(pending_[head_].bytes)) {
        Entry& entry = pending_[head_];
        head_ += 1;
        SharedBytes bytes = std::move(entry.bytes);
        Completion completion = std::move(entry.completion);
        tokensNano_ -= nano(bytes.size());
        metrics_.paced += 1;
        const std::int64_t delay = asCount(since(clock_(), entry.enqueuedAt));
        metrics_.maxDelayNs = std::max(metrics_.maxDelayNs, delay);
        metrics_.totalDelayNs += delay;
        transmit(std::move(bytes), std::move(completion));
    }
    if (head_ < pending_.size()) {
        // Rounded up: the refill at the deadline covers the datagram. With the
        // default rate every wait divides exactly.
        const std::int64_t missing = needed(pending_[head_].bytes) - tokensNano_;
        const auto wait = static_cast<std::uint64_t>((missing + rate_ - 1) / rate_);
        arm(std::max(wait, minimumWaitNs));
        compact();
    } else {
        pending_.clear();
        head_ = 0;
    }
}

void DatagramPacer::compact() {
    if (head_ >= compactAfter && head_ * 2 >= pending_.size()) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    if (inFlightHead_ >= compactAfter && inFlightHead_ * 2 >= inFlight_.size()) {
        inFlight_.erase(inFlight_.begin(), inFlight_.begin() + static_cast<std::ptrdiff_t>(inFlightHead_));
        inFlightHead_ = 0;
    }
}

void DatagramPacer::arm(std::uint64_t delayNs) {
    if (timerArmed_) return; // the existing deadline stands
    if (!timer_) {
        // One timer source, made on first use and scheduled anew each time.
        timer_ = DispatchTimer::make(queue_);
        timer_->setHandler([weak = weak_from_this()] {
            const auto self = weak.lock();
            if (!self) return;
            self->timerArmed_ = false;
            self->drain();
        });
        timer_->resume();
    }
    const std::uint64_t now = queue_.nowNs();
    const std::uint64_t deadline = delayNs > std::numeric_limits<std::uint64_t>::max() - now
                                       ? std::numeric_limits<std::uint64_t>::max()
                                       : now + delayNs;
    timerArmed_ = true;
    timer_->schedule(deadline, 0, timerLeewayNs);
}

void DatagramPacer::close() {
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    timerArmed_ = false;
    // Taken out first: a completion may call back into the pacer.
    std::vector<Entry> waiting;
    waiting.reserve(pending_.size() - head_);
    for (std::size_t i = head_; i < pending_.size(); ++i) waiting.push_back(std::move(pending_[i]));
    pending_.clear();
    head_ = 0;
    inFlight_.clear();
    inFlightHead_ = 0;
    stallStartedAt_.reset();
    closeGeneration_ += 1;
    for (Entry& entry : waiting)
        if (entry.completion) entry.completion(false);
}

} // namespace quillmere
