#include "QuillmereTransport/PeerListener.h"

#include "Platform/Bonjour/BonjourAdvertisement.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Quic/QuicConnection.h"
#include "Platform/Quic/QuicListener.h"
#include "QuillmereWire/WireProtocol.h"

namespace quillmere {

std::expected<std::shared_ptr<PeerListener>, QuicError> PeerListener::make(QuicConfiguration parameters,
                                                                          std::string alpn, std::uint16_t port,
                                                                          std::optional<std::string> serviceName) {
    auto listener = QuicListener::make(std::move(parameters), port, [] {
        return std::make_shared<SerialQueue>(std::string(PeerConnection::serverQueueLabel));
    });
    if (!listener) return std::unexpected(listener.error());
    return std::shared_ptr<PeerListener>(new PeerListener(*listener, std::move(alpn), std::move(serviceName)));
}

PeerListener::PeerListener(std::shared_ptr<QuicListener> listener, std::string alpn,
                           std::optional<std::string> serviceName)
    : listener_(std::move(listener)),
      alpn_(std::move(alpn)),
      serviceName_(std::move(serviceName)),
      queue_(std::make_shared<SerialQueue>(std::string(queueLabel))),
      boundPort_(listener_->port()) {}

PeerListener::~PeerListener() {
    // Owners stop first; this only makes sure the receive thread hands
    // nothing more to a listener that is going away.
    listener_->stop();
}

void PeerListener::start(EventHandler handler) {
    queue_->async([self = shared_from_this(), handler = std::move(handler)]() mutable {
        self->startOnQueue(std::move(handler));
    });
}

void PeerListener::startOnQueue(EventHandler handler) {
    if (stopped_) return;
    handler_ = std::move(handler);
    std::weak_ptr<PeerListener> weak = weak_from_this();
    auto queue = queue_;
    listener_->start(
        [weak, queue](std::shared_ptr<QuicConnection> connection) {
            // From the receive thread to the listener's queue.
            queue->async([weak, connection = std::move(connection)]() mutable {
                auto self = weak.lock();
                if (!self) {
                    connection->cancel();
                    return;
                }
                self->accepted(std::move(connection));
            });
        },
        [weak, queue](const QuicError& error) {
            queue->async([weak, text = error.description] {
                if (auto self = weak.lock()) self->deliver(listener::Failed{text});
            });
        });
    if (serviceName_) {
        advertisement_ = BonjourAdvertisement::publish(*serviceName_, std::string(WireProtocol::serviceType),
                                                       boundPort_);
    }
    deliver(listener::Ready{boundPort_});
}

void PeerListener::accepted(std::shared_ptr<QuicConnection> connection) {
    if (stopped_ || !handler_) {
        connection->cancel();
        return;
    }
    deliver(listener::Connection{PeerConnection::adopt(std::move(connection), alpn_)});
}

void PeerListener::deliver(const Event& event) {
    if (stopped_ || !handler_) return;
    // A copy: the handler may stop the listener and release its own slot.
    const EventHandler handler = handler_;
    handler(event);
}

void PeerListener::stop() {
    std::unique_ptr<BonjourAdvertisement> advertisement;
    queue_->sync([&] {
        stopped_ = true;
        handler_ = nullptr;
        advertisement = std::move(advertisement_);
    });
    stoppedForReaders_.store(true, std::memory_order_release);
    listener_->stop();
    // Withdrawn outside the queue: Avahi's thread is stopped and joined here.
    advertisement.reset();
}

std::optional<std::uint16_t> PeerListener::port() const {
    if (stoppedForReaders_.load(std::memory_order_acquire)) return std::nullopt;
    return boundPort_;
}

int PeerListener::trafficClass() const { return listener_->trafficClass(); }

} // namespace quillmere
