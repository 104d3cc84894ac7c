#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>

namespace quillmere {

// How many server handshakes may be under way at once. A connection holds
// a ticket from its acceptance until its handshake ends, whichever way;
// without a ticket the listener refuses the client.
class HandshakeBudget {
public:
    class Ticket {
    public:
        Ticket(Ticket&& other) noexcept : counter_(std::move(other.counter_)) {}
        Ticket& operator=(Ticket&& other) noexcept {
            release();
            counter_ = std::move(other.counter_);
            return *this;
        }
        ~Ticket() { release(); }

    private:
        friend class HandshakeBudget;
        explicit Ticket(std::shared_ptr<std::atomic<std::size_t>> counter) : counter_(std::move(counter)) {}
        void release() {
            if (counter_) counter_->fetch_sub(1, std::memory_order_acq_rel);
            counter_.reset();
        }
        std::shared_ptr<std::atomic<std::size_t>> counter_;
    };

    explicit HandshakeBudget(std::size_t limit) : limit_(limit) {}

    std::optional<Ticket> take() {
        std::size_t now = counter_->load(std::memory_order_acquire);
        do {
            if (now >= limit_) return std::nullopt;
        } while (!counter_->compare_exchange_weak(now, now + 1, std::memory_order_acq_rel));
        return Ticket(counter_);
    }

    std::size_t inProgress() const { return counter_->load(std::memory_order_acquire); }
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
    std::shared_ptr<std::atomic<std::size_t>> counter_ = std::make_shared<std::atomic<std::size_t>>(0);
};

} // namespace quillmere
