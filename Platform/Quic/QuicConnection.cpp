#include "Platform/Quic/QuicConnection.h"

#include "Platform/Quic/QuicConnectionInternals.h"

#include <ngtcp2/ngtcp2_crypto.h>

namespace quillmere {

namespace {

// Datagrams waiting for congestion control; beyond this a send is refused.
constexpr std::size_t maxQueuedDatagrams = 1024;
// Packets that arrive for a server before it starts.
constexpr std::size_t maxPacketsBeforeStart = 64;

ngtcp2_conn* connectionOfReference(ngtcp2_crypto_conn_ref* reference) {
    auto* context = reinterpret_cast<TlsHandshakeContext*>(reference);
    return static_cast<QuicConnection::Internals*>(context->connectionReference.user_data)->conn;
}

void completeLater(Executor& executor, QuicConnection::DatagramCompletion completion, bool sent) {
    if (completion) executor.async([completion = std::move(completion), sent] { completion(sent); });
}

} // namespace

QuicConnection::QuicConnection(std::unique_ptr<Internals> internals) : d_(std::move(internals)) {
    d_->tlsContext.connectionReference.get_conn = connectionOfReference;
    d_->tlsContext.connectionReference.user_data = d_.get();
    d_->tlsContext.configuration = &d_->configuration;
    d_->nextLocalStream = d_->role == Role::client ? 0 : 1;
}

std::expected<std::shared_ptr<QuicConnection>, QuicError> QuicConnection::connect(const SocketAddress& remote,
                                                                                 QuicConfiguration configuration,
                                                                                 std::shared_ptr<Executor> executor) {
    auto credentials = TlsCredentials::make(configuration.certificateDER, configuration.privateKeyDER);
    if (!credentials) return std::unexpected(credentials.error());
    auto endpoint = UdpEndpoint::connect(remote, configuration.trafficClass);
    if (!endpoint) return std::unexpected(endpoint.error());

    auto d = std::make_unique<Internals>();
    d->role = Role::client;
    d->configuration = std::move(configuration);
    d->executor = std::move(executor);
    d->endpoint = *endpoint;
    d->credentials = *credentials;
    d->remote = remote;
    d->local = (*endpoint)->localAddress();
    auto connection = std::shared_ptr<QuicConnection>(new QuicConnection(std::move(d)));
    std::weak_ptr<QuicConnection> weak = connection;
    connection->d_->endpoint->startReceiving(
        [weak](const SocketAddress& from, ByteView packet) {
            if (auto self = weak.lock()) self->enqueuePacket(from, packet);
        },
        [weak](const QuicError& error) {
            if (auto self = weak.lock()) self->enqueueSocketError(error);
        });
    return connection;
}

std::shared_ptr<QuicConnection> QuicConnection::accept(std::shared_ptr<UdpEndpoint> endpoint,
                                                       std::shared_ptr<ConnectionIDTable> table,
                                                       std::shared_ptr<TlsCredentials> credentials,
                                                       const QuicConfiguration& configuration,
                                                       std::shared_ptr<Executor> executor, const SocketAddress& remote,
                                                       ByteView firstPacket, Acceptance acceptance) {
    ngtcp2_pkt_hd header{};
    if (ngtcp2_accept(&header, firstPacket.data(), firstPacket.size()) != 0) return nullptr;
    auto d = std::make_unique<Internals>();
    d->role = Role::server;
    d->configuration = configuration;
    d->executor = std::move(executor);
    d->endpoint = std::move(endpoint);
    d->table = std::move(table);
    d->credentials = std::move(credentials);
    d->remote = remote;
    d->local = d->endpoint->localAddress();
    d->originalDestinationID.assign(header.dcid.data, header.dcid.data + header.dcid.datalen);
    d->retriedFrom = std::move(acceptance.retriedFrom);
    d->handshakeTicket = std::move(acceptance.handshake);
    d->firstSourceID.resize(connectionIDLength);
    QuicCallbacks::randomBytes(d->firstSourceID.data(), d->firstSourceID.size());
    auto connection = std::shared_ptr<QuicConnection>(new QuicConnection(std::move(d)));
    connection->registerID(viewOf(connection->d_->originalDestinationID));
    connection->registerID(viewOf(connection->d_->firstSourceID));
    connection->enqueuePacket(remote, firstPacket);
    return connection;
}

QuicConnection::~QuicConnection() {
    if (d_->conn != nullptr && d_->started && !d_->closed && !d_->finished) {
        // Dropped without a close: tell the peer rather than leave it to time out.
        ngtcp2_connection_close_error error{};
        ngtcp2_connection_close_error_set_application_error(&error, 0, nullptr, 0);
        d_->packetBuffer.resize(ngtcp2_conn_get_max_tx_udp_payload_size(d_->conn));
        ngtcp2_pkt_info info{};
        const auto written = ngtcp2_conn_write_connection_close(d_->conn, d_->path(), &info, d_->packetBuffer.data(),
                                                                d_->packetBuffer.size(), &error, d_->executor->nowNs());
        if (written > 0) d_->endpoint->send(d_->remote, ByteView(d_->packetBuffer.data(), written));
    } else if (d_->conn == nullptr && d_->role == Role::server && !d_->closed) {
        refuseUnstarted(0);
    }
    unregisterIDs();
    failDatagrams();
    if (d_->conn != nullptr) ngtcp2_conn_del(d_->conn);
    d_->tls.reset();
}

QuicConnection::Role QuicConnection::role() const { return d_->role; }
Executor& QuicConnection::executor() const { return *d_->executor; }
const std::shared_ptr<Executor>& QuicConnection::sharedExecutor() const { return d_->executor; }
const SocketAddress& QuicConnection::remoteAddress() const { return d_->remote; }
const UdpEndpoint& QuicConnection::endpoint() const { return *d_->endpoint; }

void QuicConnection::start(Handlers handlers) {
    if (d_->started || d_->closed || d_->finished) return;
    d_->handlers = std::make_shared<const Handlers>(std::move(handlers));
    d_->started = true;
    report(State::preparing);
    auto failure = d_->role == Role::client ? createClientConnection() : createServerConnection();
    if (failure) {
        d_->finished = true;
        report(State::failed, failure);
        deliverEvents();
        return;
    }
    {
        std::lock_guard lock(d_->inboxMutex);
        d_->inboxOpen = true;
        d_->inboxScheduled = true;
    }
    processInbox();
}

QuicConnection::StreamID QuicConnection::openStream() {
    const StreamID stream = d_->nextLocalStream;
    d_->nextLocalStream += 4;
    d_->streams[stream];
    d_->pendingStreams.push_back(stream);
    flush();
    deliverEvents();
    return stream;
}

void QuicConnection::openPendingStreams() {
    while (!d_->pendingStreams.empty() && ngtcp2_conn_get_streams_bidi_left(d_->conn) > 0) {
        const StreamID stream = d_->pendingStreams.front();
        std::int64_t opened = -1;
        if (ngtcp2_conn_open_bidi_stream(d_->conn, &opened, nullptr) != 0) break;
        d_->pendingStreams.pop_front();
        // Streams open in order, so the library hands out the ID announced.
        auto& entry = d_->streams[opened];
        entry.open = true;
        if (opened == stream) d_->pushStream(Internals::Event::Kind::streamReady, stream);
    }
}

void QuicConnection::openDatagramFlow() {
    d_->datagramFlowRequested = true;
    flush();
    deliverEvents();
}

void QuicConnection::send(StreamID stream, Bytes data, bool fin, std::function<void()> sent) {
    if (d_->closed || d_->finished) return;
    const auto found = d_->streams.find(stream);
    if (found == d_->streams.end()) return;
    found->second.buffer.append(std::move(data), fin, std::move(sent));
    flush();
    deliverEvents();
}

std::size_t QuicConnection::queuedBytes(StreamID stream) const {
    const auto found = d_->streams.find(stream);
    return found == d_->streams.end() ? 0 : found->second.buffer.heldBytes();
}

void QuicConnection::pauseReading(StreamID stream, bool paused) {
    if (paused) {
        d_->heldCredit.try_emplace(stream, 0);
        return;
    }
    const auto held = d_->heldCredit.find(stream);
    if (held == d_->heldCredit.end()) return;
    const std::uint64_t credit = held->second;
    d_->heldCredit.erase(held);
    if (d_->conn == nullptr || d_->closed || d_->finished || credit == 0) return;
    ngtcp2_conn_extend_max_stream_offset(d_->conn, stream, credit);
    flush();
    deliverEvents();
}

void QuicConnection::cancelStream(StreamID stream, std::uint64_t applicationCode) {
    if (d_->conn == nullptr || d_->closed || d_->finished) return;
    ngtcp2_conn_shutdown_stream(d_->conn, stream, applicationCode);
    const auto found = d_->streams.find(stream);
    // The library drops the stream's data with the reset; the entry goes when it closes.
    if (found != d_->streams.end()) found->second.buffer.clear();
    flush();
    deliverEvents();
}

void QuicConnection::allowPeerStreams(std::size_t count) {
    if (d_->conn == nullptr || d_->closed || d_->finished) return;
    ngtcp2_conn_extend_max_streams_bidi(d_->conn, count);
    flush();
    deliverEvents();
}

void QuicConnection::sendDatagram(Bytes datagram, DatagramCompletion completion) {
    if (d_->closed || d_->finished || d_->datagrams.size() >= maxQueuedDatagrams) {
        completeLater(*d_->executor, std::move(completion), false);
        return;
    }
    d_->datagrams.push_back(
        Internals::PendingDatagram{std::move(datagram), {}, std::move(completion), d_->executor->nowNs()});
    scheduleFlush();
}

void QuicConnection::sendDatagram(SharedBytes datagram, DatagramCompletion completion) {
    if (d_->closed || d_->finished || d_->datagrams.size() >= maxQueuedDatagrams) {
        completeLater(*d_->executor, std::move(completion), false);
        return;
    }
    d_->datagrams.push_back(
        Internals::PendingDatagram{{}, std::move(datagram), std::move(completion), d_->executor->nowNs()});
    scheduleFlush();
}

void QuicConnection::sendDatagrams(std::vector<Bytes> datagrams, DatagramCompletion completion) {
    if (datagrams.empty()) {
        completeLater(*d_->executor, std::move(completion), true);
        return;
    }
    if (d_->closed || d_->finished || d_->datagrams.size() + datagrams.size() > maxQueuedDatagrams) {
        completeLater(*d_->executor, std::move(completion), false);
        return;
    }
    const std::uint64_t now = d_->executor->nowNs();
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const bool last = i + 1 == datagrams.size();
        d_->datagrams.push_back(Internals::PendingDatagram{
            std::move(datagrams[i]), {}, last ? std::move(completion) : DatagramCompletion{}, now});
    }
    scheduleFlush();
}

// Datagrams sent one by one in a turn of the queue leave together at its
// end, in as few packets and system calls as they fit.
void QuicConnection::scheduleFlush() {
    if (d_->flushScheduled) return;
    d_->flushScheduled = true;
    d_->executor->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->d_->flushScheduled = false;
        self->flush();
        self->deliverEvents();
    });
}

std::size_t QuicConnection::usableDatagramSize() const {
    ngtcp2_conn* conn = d_->conn;
    if (conn == nullptr || d_->finished || !ngtcp2_conn_get_handshake_completed(conn)) return 0;
    const ngtcp2_transport_params* peer = ngtcp2_conn_get_remote_transport_params(conn);
    if (peer == nullptr || peer->max_datagram_frame_size == 0) return 0;
    const ngtcp2_crypto_ctx* crypto = ngtcp2_conn_get_crypto_ctx(conn);
    // Short header byte, destination ID, the longest packet number, the AEAD
    // tag, then the frame type and a two-byte length: what is left fits in any
    // packet on this path, however many packets are in flight.
    const std::size_t overhead = 1 + ngtcp2_conn_get_dcid(conn)->datalen + 4 +
                                 (crypto != nullptr ? crypto->aead.max_overhead : 16) + 1 + 2;
    const std::size_t path = ngtcp2_conn_get_path_max_tx_udp_payload_size(conn);
    if (path <= overhead) return 0;
    std::size_t usable = path - overhead;
    const std::uint64_t frameLimit = peer->max_datagram_frame_size > 3 ? peer->max_datagram_frame_size - 3 : 0;
    if (usable > frameLimit) usable = static_cast<std::size_t>(frameLimit);
    return usable;
}

std::vector<Bytes> QuicConnection::peerCertificates() const {
    return d_->tls ? d_->tls->peerCertificates() : std::vector<Bytes>{};
}

std::optional<std::string> QuicConnection::selectedProtocol() const {
    return d_->tls ? d_->tls->selectedProtocol() : std::nullopt;
}

void QuicConnection::close(std::uint64_t applicationCode, std::string_view reason) {
    d_->handlers.reset();
    d_->events.clear();
    d_->handshakeTicket.reset();
    if (d_->closed || d_->finished) return;
    d_->closed = true;
    if (d_->conn != nullptr && d_->started) {
        ngtcp2_connection_close_error error{};
        ngtcp2_connection_close_error_set_application_error(
            &error, applicationCode, reinterpret_cast<const std::uint8_t*>(reason.data()), reason.size());
        d_->packetBuffer.resize(ngtcp2_conn_get_max_tx_udp_payload_size(d_->conn));
        ngtcp2_pkt_info info{};
        const auto written = ngtcp2_conn_write_connection_close(d_->conn, d_->path(), &info, d_->packetBuffer.data(),
                                                                d_->packetBuffer.size(), &error, d_->executor->nowNs());
        if (written > 0) {
            d_->closePacket.assign(d_->packetBuffer.begin(), d_->packetBuffer.begin() + written);
            sendClosePacket();
        }
    }
    if (d_->conn == nullptr && d_->role == Role::server) refuseUnstarted(applicationCode);
    failDatagrams();
    for (auto& [stream, entry] : d_->streams) entry.buffer.clear();
}

bool QuicConnection::isClosed() const { return d_->closed || d_->finished; }

void QuicConnection::cancel() {
    d_->executor->async([self = shared_from_this()] { self->close(0, {}); });
}

void QuicConnection::enqueuePacket(const SocketAddress& from, ByteView packet) {
    std::lock_guard lock(d_->inboxMutex);
    if (!d_->inboxOpen && d_->inbox.count >= maxPacketsBeforeStart) return;
    d_->inbox.add(from, packet);
    // Before start the packets wait; start() takes them.
    if (d_->inboxScheduled || !d_->inboxOpen) return;
    d_->inboxScheduled = true;
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    d_->executor->async([weak] {
        if (auto self = weak.lock()) self->processInbox();
    });
}

void QuicConnection::enqueueSocketError(const QuicError& error) {
    std::lock_guard lock(d_->inboxMutex);
    d_->inboxError = error;
    if (d_->inboxScheduled || !d_->inboxOpen) return;
    d_->inboxScheduled = true;
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    d_->executor->async([weak] {
        if (auto self = weak.lock()) self->processInbox();
    });
}

void QuicConnection::report(State state, std::optional<QuicError> error) { d_->pushState(state, std::move(error)); }

void QuicConnection::deliverEvents() {
    if (d_->delivering) return;
    // A handler may drop the last reference to this connection's owner.
    const auto self = shared_from_this();
    d_->delivering = true;
    while (!d_->events.empty()) {
        Internals::Event event = std::move(d_->events.front());
        d_->events.pop_front();
        // Held for the call: a handler may close the connection, which drops them.
        const std::shared_ptr<const Handlers> held = d_->handlers;
        if (!held) continue;
        const Handlers& h = *held;
        using Kind = Internals::Event::Kind;
        switch (event.kind) {
        case Kind::state:
            if (h.stateChanged) {
                h.stateChanged(event.state, event.hasError ? std::optional<QuicError>(event.error) : std::nullopt);
            }
            break;
        case Kind::streamReady:
            if (h.streamReady) h.streamReady(event.stream);
            break;
        case Kind::peerStream:
            if (h.peerStreamOpened) h.peerStreamOpened(event.stream);
            break;
        case Kind::streamData:
            if (h.streamData) h.streamData(event.stream, viewOf(event.data), event.fin);
            break;
        case Kind::streamFailed:
            if (h.streamFailed) h.streamFailed(event.stream, event.error);
            break;
        case Kind::datagramFlow:
            if (h.datagramFlowReady) h.datagramFlowReady(usableDatagramSize());
            break;
        case Kind::datagram:
            if (h.datagramReceived) h.datagramReceived(std::move(event.datagram));
            break;
        }
    }
    d_->delivering = false;
}

void QuicConnection::setDatagramMaxAge(std::uint64_t maxAgeNs) { d_->datagramMaxAgeNs = maxAgeNs; }

std::uint64_t QuicConnection::datagramsExpired() const { return d_->datagramsExpired; }

void QuicConnection::failDatagrams() {
    for (auto& datagram : d_->datagrams) completeLater(*d_->executor, std::move(datagram.completion), false);
    d_->datagrams.clear();
}

void QuicConnection::registerID(ByteView id) {
    if (!d_->table) return;
    d_->table->add(id, shared_from_this());
    d_->registeredIDs.emplace_back(id.begin(), id.end());
}

void QuicConnection::unregisterIDs() {
    if (!d_->table) return;
    for (const Bytes& id : d_->registeredIDs) d_->table->remove(viewOf(id), this);
    d_->registeredIDs.clear();
}

} // namespace quillmere
