#include "TestSupport/QuicFlood/PingFlood.h"

#include "Platform/Dispatch/Clock.h"
#include "TestSupport/Eventually.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quillmere::testing {

std::expected<std::unique_ptr<PingFlood>, QuicError> PingFlood::connect(const SocketAddress& host,
                                                                        QuicConfiguration configuration, Hello hello) {
    std::unique_ptr<PingFlood> flood(new PingFlood());
    flood->hello_ = std::move(hello);
    auto made = QuicConnection::connect(host, std::move(configuration), flood->queue_);
    if (!made) return std::unexpected(made.error());
    flood->connection_ = *made;
    PingFlood* self = flood.get();
    QuicConnection::Handlers handlers;
    handlers.stateChanged = [self](QuicConnection::State state, const std::optional<QuicError>& error) {
        std::lock_guard lock(self->mutex_);
        if (state == QuicConnection::State::ready) self->ready_ = true;
        if ((state == QuicConnection::State::failed || state == QuicConnection::State::cancelled) && !self->ended_) {
            self->ended_ = error ? error->description : std::string("closed by the host");
            self->endedAtNs_ = Clock::nowNs();
        }
    };
    flood->queue_->sync([&] { self->connection_->start(std::move(handlers)); });
    return flood;
}

PingFlood::~PingFlood() {
    if (connection_) queue_->sync([this] { connection_->close(0, {}); });
}

PingFlood::Outcome PingFlood::run(int rate, double seconds) {
    Outcome outcome;
    const bool ready = eventually([&] {
        std::lock_guard lock(mutex_);
        return ready_ || ended_;
    });
    QuicConnection::StreamID stream = -1;
    if (ready) {
        queue_->sync([&] {
            stream = connection_->openStream();
            connection_->pauseReading(stream, true);
            connection_->send(stream, *ControlMessage(hello_).encodeFrame(), false);
        });
    }
    // Sent in slices of 10 ms, each one write of many frames.
    constexpr auto slice = std::chrono::milliseconds(10);
    const int perSlice = std::max(1, rate / 100);
    const std::uint64_t startNs = Clock::nowNs();
    auto next = std::chrono::steady_clock::now();
    while (ready && Clock::nowNs() - startNs < static_cast<std::uint64_t>(seconds * 1e9)) {
        {
            std::lock_guard lock(mutex_);
            if (ended_) break;
        }
        Bytes frames;
        for (int i = 0; i < perSlice; ++i) {
            const Bytes frame = *ControlMessage(msg::Ping{Clock::nowNs()}).encodeFrame();
            frames.insert(frames.end(), frame.begin(), frame.end());
        }
        queue_->async([this, stream, frames = std::move(frames)]() mutable {
            connection_->send(stream, std::move(frames), false);
        });
        outcome.pings += static_cast<std::uint64_t>(perSlice);
        next += slice;
        std::this_thread::sleep_until(next);
    }
    queue_->sync([] {});
    outcome.seconds = static_cast<double>(Clock::nowNs() - startNs) / 1e9;
    std::lock_guard lock(mutex_);
    outcome.closedBy = ended_;
    if (ended_) outcome.closedAfterSeconds = static_cast<double>(endedAtNs_ - startNs) / 1e9;
    return outcome;
}

} // namespace quillmere::testing
