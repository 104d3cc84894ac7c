#pragma once

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Quic/QuicConnection.h"
#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/WireProtocol.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

// A client that completes the QUIC handshake and never says hello. It sends
// nothing at all, or the first bytes of a hello frame and never the rest,
// so that the host holds its control stream and waits. It keeps what the
// host sends and when and how the connection ended.
class SilentClient {
public:
    // helloBytes of the frame go out once the handshake is done, at most
    // all but its last byte.
    static std::expected<std::unique_ptr<SilentClient>, QuicError> connect(const SocketAddress& host,
                                                                         QuicConfiguration configuration,
                                                                         std::size_t helloBytes) {
        std::unique_ptr<SilentClient> client(new SilentClient());
        auto made = QuicConnection::connect(host, std::move(configuration), client->queue_);
        if (!made) return std::unexpected(made.error());
        client->connection_ = *made;
        Bytes hello = *ControlMessage(Hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::client,
                                            WireID{}, WireID{}, "silent"})
                           .encodeFrame();
        hello.resize(std::min(hello.size() - 1, helloBytes));
        SilentClient* self = client.get();
        QuicConnection::Handlers handlers;
        handlers.stateChanged = [self, hello](QuicConnection::State state, const std::optional<QuicError>& error) {
            std::unique_lock lock(self->mutex_);
            if (state == QuicConnection::State::ready && !self->readyAtNs_) {
                self->readyAtNs_ = Clock::nowNs();
                lock.unlock();
                if (!hello.empty()) self->connection_->send(self->connection_->openStream(), hello, false);
            } else if (state == QuicConnection::State::failed || state == QuicConnection::State::cancelled) {
                if (!self->endedAtNs_) self->endedAtNs_ = Clock::nowNs();
                if (!self->endReason_) self->endReason_ = error ? error->description : "cancelled";
            }
            self->changed_.notify_all();
        };
        handlers.streamData = [self](QuicConnection::StreamID, ByteView bytes, bool) {
            std::lock_guard lock(self->mutex_);
            auto messages = self->decoder_.push(bytes);
            if (messages) self->received_.insert(self->received_.end(), messages->begin(), messages->end());
            self->changed_.notify_all();
        };
        client->queue_->sync([&] { self->connection_->start(std::move(handlers)); });
        return client;
    }

    ~SilentClient() {
        queue_->sync([this] { connection_->close(0, {}); });
    }

    // True once the connection ended within the limit.
    bool waitForEnd(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return endedAtNs_.has_value(); });
    }
    bool waitForHandshake(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return readyAtNs_ || endedAtNs_; }) && readyAtNs_;
    }
    // On the clock of Clock::nowNs.
    std::optional<std::uint64_t> handshakeDoneAtNs() const { return locked(readyAtNs_); }
    std::optional<std::uint64_t> endedAtNs() const { return locked(endedAtNs_); }
    std::optional<std::string> endReason() const { return locked(endReason_); }
    std::vector<ControlMessage> received() const { return locked(received_); }

private:
    SilentClient() = default;

    template <class T>
    T locked(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }

    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("silent.client");
    std::shared_ptr<QuicConnection> connection_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    ControlFrameDecoder decoder_;
    std::optional<std::uint64_t> readyAtNs_;
    std::optional<std::uint64_t> endedAtNs_;
    std::optional<std::string> endReason_;
    std::vector<ControlMessage> received_;
};

} // namespace quillmere::testing
