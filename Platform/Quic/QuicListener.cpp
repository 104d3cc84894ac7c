#include "Platform/Quic/QuicListener.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Quic/ConnectionIDTable.h"
#include "Platform/Quic/QuicConnection.h"
#include "Platform/Quic/QuicConnectionInternals.h"
#include "Platform/Quic/StatelessClose.h"
#include "Platform/Quic/TlsCredentials.h"
#include "Platform/Quic/UdpEndpoint.h"

namespace quillmere {

std::expected<std::shared_ptr<QuicListener>, QuicError> QuicListener::make(QuicConfiguration configuration,
                                                                          std::uint16_t port,
                                                                          ExecutorFactory executors) {
    return make(std::move(configuration), SocketAddress::anyV6(port), std::move(executors));
}

std::expected<std::shared_ptr<QuicListener>, QuicError> QuicListener::make(QuicConfiguration configuration,
                                                                          const SocketAddress& local,
                                                                          ExecutorFactory executors) {
    auto credentials = TlsCredentials::make(configuration.certificateDER, configuration.privateKeyDER);
    if (!credentials) return std::unexpected(credentials.error());
    auto endpoint = UdpEndpoint::bind(local, configuration.trafficClass);
    if (!endpoint) return std::unexpected(endpoint.error());
    auto listener = std::shared_ptr<QuicListener>(new QuicListener());
    listener->configuration_ = std::move(configuration);
    listener->executors_ = std::move(executors);
    listener->endpoint_ = *endpoint;
    listener->table_ = std::make_shared<ConnectionIDTable>();
    listener->credentials_ = *credentials;
    return listener;
}

QuicListener::~QuicListener() { stop(); }

std::uint16_t QuicListener::port() const { return endpoint_->localAddress().port(); }

int QuicListener::trafficClass() const { return endpoint_->trafficClass(); }

std::size_t QuicListener::routedConnectionIDs() const { return table_->size(); }

void QuicListener::start(AcceptHandler accepted, ErrorHandler failed) {
    {
        std::lock_guard lock(acceptMutex_);
        accepted_ = std::move(accepted);
        failed_ = std::move(failed);
        accepting_ = true;
    }
    // The receive thread outlives the listener while connections use the
    // socket: it holds the table, and the listener only weakly.
    std::weak_ptr<QuicListener> weak = weak_from_this();
    std::weak_ptr<UdpEndpoint> weakEndpoint = endpoint_;
    auto table = table_;
    endpoint_->startReceiving(
        [weak, weakEndpoint, table](const SocketAddress& from, ByteView packet) {
            ngtcp2_version_cid ids{};
            const int decoded = ngtcp2_pkt_decode_version_cid(&ids, packet.data(), packet.size(), connectionIDLength);
            if (decoded != 0) {
                if (auto listener = weak.lock()) listener->ignoredCount_.fetch_add(1);
                return;
            }
            if (auto connection = table->find(ByteView(ids.dcid, ids.dcidlen))) {
                connection->enqueuePacket(from, packet);
                return;
            }
            if (auto listener = weak.lock()) {
                listener->received(from, packet);
            } else if (auto endpoint = weakEndpoint.lock()) {
                if (auto refusal = StatelessClose::answer(packet, StatelessClose::connectionRefused)) {
                    endpoint->send(from, viewOf(*refusal));
                }
            }
        },
        [weak](const QuicError& error) {
            auto listener = weak.lock();
            if (!listener) return;
            std::lock_guard lock(listener->acceptMutex_);
            if (listener->accepting_ && listener->failed_) listener->failed_(error);
        });
}

void QuicListener::stop() {
    std::lock_guard lock(acceptMutex_);
    accepting_ = false;
    accepted_ = nullptr;
    failed_ = nullptr;
}

QuicListener::Counts QuicListener::counts() const {
    return Counts{ignoredCount_.load(), retryCount_.load(), acceptedCount_.load(), refusedCount_.load()};
}

void QuicListener::refuse(const SocketAddress& from, ByteView packet) {
    refusedCount_.fetch_add(1);
    if (auto refusal = StatelessClose::answer(packet, StatelessClose::connectionRefused)) {
        endpoint_->send(from, viewOf(*refusal));
    }
}

void QuicListener::received(const SocketAddress& from, ByteView packet) {
    ngtcp2_pkt_hd header{};
    if (ngtcp2_accept(&header, packet.data(), packet.size()) != 0 || !ngtcp2_is_supported_version(header.version)) {
        ignoredCount_.fetch_add(1);
        return;
    }
    std::lock_guard lock(acceptMutex_);
    if (!accepting_ || !accepted_) {
        // A stopped listener refuses new clients at once; its socket only
        // stays open for the connections it already made.
        refuse(from, packet);
        return;
    }
    const std::uint64_t now = Clock::nowNs();
    if (header.token.len == 0) {
        if (auto retry = validation_.retry(header, from, now)) {
            endpoint_->send(from, viewOf(*retry));
            retryCount_.fetch_add(1);
        }
        return;
    }
    const auto original = validation_.validate(header, from, now);
    if (!original) {
        ignoredCount_.fetch_add(1);
        return;
    }
    auto ticket = budget_.take();
    if (!ticket) {
        refuse(from, packet);
        return;
    }
    QuicConnection::Acceptance acceptance;
    acceptance.retriedFrom.assign(original->data, original->data + original->datalen);
    acceptance.handshake = std::move(ticket);
    auto connection = QuicConnection::accept(endpoint_, table_, credentials_, configuration_, executors_(), from,
                                             packet, std::move(acceptance));
    if (!connection) return;
    acceptedCount_.fetch_add(1);
    accepted_(std::move(connection));
}

} // namespace quillmere
