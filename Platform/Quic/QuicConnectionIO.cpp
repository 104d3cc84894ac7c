#include "Platform/Quic/QuicConnection.h"

#include "Platform/Quic/QuicConnectionInternals.h"
#include "Platform/Quic/StatelessClose.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

namespace quillmere {

namespace {

// Once the connection has closed, a peer that keeps sending gets the close
// packet again, this many times at most.
constexpr int maxCloseResends = 8;
// How many times the close packet goes out when this side closes.
constexpr int closeCopies = 3;
// Received packets whose buffers wait for reuse, per inbox.
constexpr std::size_t keptInboxPackets = 256;

ngtcp2_path pathOf(const SocketAddress& local, const SocketAddress& remote) {
    return ngtcp2_path{
        ngtcp2_addr{const_cast<sockaddr*>(local.native()), local.length()},
        ngtcp2_addr{const_cast<sockaddr*>(remote.native()), remote.length()},
        nullptr,
    };
}

// How a peer's CONNECTION_CLOSE reads: an application close without error is
// the peer cancelling; anything else is a failure with the peer's reason.
std::pair<QuicConnection::State, std::optional<QuicError>> peerCloseOutcome(
    const ngtcp2_connection_close_error& close) {
    const std::string reason =
        close.reasonlen > 0 ? ": " + std::string(reinterpret_cast<const char*>(close.reason), close.reasonlen) : "";
    const auto code = static_cast<std::int64_t>(close.error_code);
    switch (close.type) {
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION:
        if (close.error_code == 0) return {QuicConnection::State::cancelled, std::nullopt};
        return {QuicConnection::State::failed,
                QuicError{QuicError::Domain::application, code,
                          fmt::format("connection closed by the peer: application error {}{}", close.error_code,
                                      reason)}};
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT:
        if (close.error_code == 0) return {QuicConnection::State::cancelled, std::nullopt};
        if (close.error_code >= 0x100 && close.error_code <= 0x1ff) {
            return {QuicConnection::State::failed,
                    QuicError::tlsAlert(static_cast<std::uint8_t>(close.error_code - 0x100), true)};
        }
        return {QuicConnection::State::failed,
                QuicError{QuicError::Domain::transport, code,
                          fmt::format("connection closed by the peer: transport error {:#x}{}", close.error_code,
                                      reason)}};
    case NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT_IDLE_CLOSE:
        return {QuicConnection::State::failed, QuicError::timeout("idle timeout")};
    default:
        return {QuicConnection::State::failed,
                QuicError{QuicError::Domain::transport, code, "no QUIC version in common with the peer"}};
    }
}

} // namespace

std::optional<QuicError> QuicConnection::createClientConnection() {
    Internals& d = *d_;
    ngtcp2_cid destination{};
    ngtcp2_cid source{};
    destination.datalen = source.datalen = connectionIDLength;
    QuicCallbacks::randomBytes(destination.data, destination.datalen);
    QuicCallbacks::randomBytes(source.data, source.datalen);
    ngtcp2_path_storage_init(&d.pathStorage, d.local.native(), d.local.length(), d.remote.native(), d.remote.length(),
                             nullptr);
    ngtcp2_settings settings;
    QuicCallbacks::settings(settings, d.configuration, d.executor->nowNs());
    ngtcp2_transport_params parameters;
    QuicCallbacks::transportParameters(parameters, d.configuration, Role::client);
    const ngtcp2_callbacks callbacks = QuicCallbacks::table(Role::client);
    const int result = ngtcp2_conn_client_new(&d.conn, &destination, &source, d.path(), NGTCP2_PROTO_VER_V1,
                                              &callbacks, &settings, &parameters, nullptr, this);
    if (result != 0) {
        d.conn = nullptr;
        return QuicError::library(result);
    }
    auto tls = TlsSession::make(false, *d.credentials, d.configuration, &d.tlsContext);
    if (!tls) return tls.error();
    d.tls = std::move(*tls);
    ngtcp2_conn_set_tls_native_handle(d.conn, d.tls->handle());
    return std::nullopt;
}

std::optional<QuicError> QuicConnection::createServerConnection() {
    Internals& d = *d_;
    Bytes first;
    {
        std::lock_guard lock(d.inboxMutex);
        if (d.inbox.empty()) return QuicError::library(NGTCP2_ERR_INVALID_STATE);
        first = d.inbox.front().data;
    }
    ngtcp2_pkt_hd header{};
    if (ngtcp2_accept(&header, first.data(), first.size()) != 0) return QuicError::library(NGTCP2_ERR_INVALID_ARGUMENT);
    ngtcp2_path_storage_init(&d.pathStorage, d.local.native(), d.local.length(), d.remote.native(), d.remote.length(),
                             nullptr);
    ngtcp2_settings settings;
    QuicCallbacks::settings(settings, d.configuration, d.executor->nowNs());
    ngtcp2_transport_params parameters;
    QuicCallbacks::transportParameters(parameters, d.configuration, Role::server);
    parameters.original_dcid = header.dcid;
    if (!d.retriedFrom.empty()) {
        // The client's first Initial had this ID; the one it uses now came in our Retry.
        parameters.original_dcid.datalen = d.retriedFrom.size();
        std::copy(d.retriedFrom.begin(), d.retriedFrom.end(), parameters.original_dcid.data);
        parameters.retry_scid = header.dcid;
        parameters.retry_scid_present = 1;
    }
    parameters.stateless_reset_token_present = 1;
    QuicCallbacks::randomBytes(parameters.stateless_reset_token, sizeof parameters.stateless_reset_token);
    ngtcp2_cid source{};
    source.datalen = d.firstSourceID.size();
    std::copy(d.firstSourceID.begin(), d.firstSourceID.end(), source.data);
    const ngtcp2_callbacks callbacks = QuicCallbacks::table(Role::server);
    const int result = ngtcp2_conn_server_new(&d.conn, &header.scid, &source, d.path(), header.version, &callbacks,
                                              &settings, &parameters, nullptr, this);
    if (result != 0) {
        d.conn = nullptr;
        return QuicError::library(result);
    }
    auto tls = TlsSession::make(true, *d.credentials, d.configuration, &d.tlsContext);
    if (!tls) return tls.error();
    d.tls = std::move(*tls);
    ngtcp2_conn_set_tls_native_handle(d.conn, d.tls->handle());
    return std::nullopt;
}

void QuicConnection::processInbox() {
    std::optional<QuicError> socketError;
    Internals::Inbox& packets = d_->reading;
    {
        std::lock_guard lock(d_->inboxMutex);
        std::swap(packets, d_->inbox);
        d_->inbox.clear();
        socketError.swap(d_->inboxError);
        d_->inboxScheduled = false;
    }
    // A socket error may pass (an ICMP answer to a port not yet open): the
    // handshake goes on until it succeeds or times out.
    if (socketError && !d_->closed && !d_->finished &&
        (d_->state == State::preparing || d_->state == State::waiting)) {
        report(State::waiting, std::move(socketError));
    }
    for (const auto& packet : packets.taken()) readPacket(packet.from, viewOf(packet.data));
    packets.clear();
    packets.trim(keptInboxPackets);
    flush();
    deliverEvents();
}

void QuicConnection::readPacket(const SocketAddress& from, ByteView packet) {
    Internals& d = *d_;
    if (d.finished || d.conn == nullptr) return;
    if (d.closed) {
        if (!d.closePacket.empty() && d.closeResends < maxCloseResends) {
            ++d.closeResends;
            transmit(viewOf(d.closePacket));
        }
        return;
    }
    const ngtcp2_path path = pathOf(d.local, from);
    ngtcp2_pkt_info info{};
    const std::size_t eventsBefore = d.events.size();
    const int result = ngtcp2_conn_read_pkt(d.conn, &path, &info, packet.data(), packet.size(), d.executor->nowNs());
    if (!d.receivedDatagrams.empty()) {
        const SharedBytes whole(std::move(d.receivedDatagrams));
        d.receivedDatagrams = {};
        for (std::size_t i = eventsBefore; i < d.events.size(); ++i) {
            Internals::Event& event = d.events[i];
            if (event.kind == Internals::Event::Kind::datagram)
                event.datagram = whole.slice(event.datagramOffset, event.datagramLength);
        }
    }
    if (result == 0) {
        for (const auto& [stream, length] : d.credit) {
            // The connection's credit goes back anyway: other streams go on.
            ngtcp2_conn_extend_max_offset(d.conn, length);
            if (const auto held = d.heldCredit.find(stream); held != d.heldCredit.end())
                held->second += length;
            else
                ngtcp2_conn_extend_max_stream_offset(d.conn, stream, length);
        }
        d.credit.clear();
        return;
    }
    d.credit.clear();
    switch (result) {
    case NGTCP2_ERR_DRAINING: {
        ngtcp2_connection_close_error close{};
        ngtcp2_conn_get_connection_close_error(d.conn, &close);
        d.finished = true;
        auto [state, error] = peerCloseOutcome(close);
        failDatagrams();
        report(state, std::move(error));
        return;
    }
    case NGTCP2_ERR_CRYPTO: {
        std::uint8_t alert = ngtcp2_conn_get_tls_alert(d.conn);
        if (alert == 0) alert = 80; // internal_error
        ngtcp2_connection_close_error close{};
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&close, alert, nullptr, 0);
        writeClose(close);
        report(State::failed, QuicError::tlsAlert(alert, false));
        return;
    }
    case NGTCP2_ERR_DROP_CONN:
        d.finished = true;
        failDatagrams();
        report(State::failed, QuicError::library(result));
        return;
    default:
        if (d.protocolMismatch) {
            constexpr std::uint8_t noApplicationProtocol = 120;
            ngtcp2_connection_close_error close{};
            ngtcp2_connection_close_error_set_transport_error_tls_alert(&close, noApplicationProtocol, nullptr, 0);
            writeClose(close);
            report(State::failed, QuicError::tlsAlert(noApplicationProtocol, false));
            return;
        }
        finishWithError(QuicError::library(result), result);
    }
}

void QuicConnection::finishWithError(const QuicError& error, int libraryError) {
    ngtcp2_connection_close_error close{};
    ngtcp2_connection_close_error_set_transport_error_liberr(&close, libraryError, nullptr, 0);
    writeClose(close);
    report(State::failed, error);
}

void QuicConnection::writeClose(const ngtcp2_connection_close_error& close) {
    Internals& d = *d_;
    d.closed = true;
    d.packetBuffer.resize(ngtcp2_conn_get_max_tx_udp_payload_size(d.conn));
    ngtcp2_pkt_info info{};
    const auto written = ngtcp2_conn_write_connection_close(d.conn, d.path(), &info, d.packetBuffer.data(),
                                                            d.packetBuffer.size(), &close, d.executor->nowNs());
    if (written > 0) {
        d.closePacket.assign(d.packetBuffer.begin(), d.packetBuffer.begin() + written);
        sendClosePacket();
    }
    failDatagrams();
    for (auto& [stream, entry] : d.streams) entry.buffer.clear();
}

void QuicConnection::refuseUnstarted(std::uint64_t applicationCode) {
    // No handshake state exists yet: answer the client's Initial with a
    // stateless close, so it does not wait for a timeout.
    Bytes first;
    {
        std::lock_guard lock(d_->inboxMutex);
        if (d_->inbox.empty()) return;
        first = d_->inbox.front().data;
        d_->inbox.clear();
    }
    const auto packet = StatelessClose::answer(
        viewOf(first), applicationCode == 0 ? StatelessClose::noError : StatelessClose::connectionRefused);
    if (packet) d_->endpoint->send(d_->remote, viewOf(*packet));
}

// The side that closes usually goes away at once, so nothing answers a
// peer that missed the close but the idle timeout, seconds later. Copies
// cost a few bytes once; a lossy link then rarely drops them all.
void QuicConnection::sendClosePacket() {
    for (int copy = 0; copy < closeCopies; ++copy) transmit(viewOf(d_->closePacket));
}

void QuicConnection::transmit(ByteView packet) {
    auto error = d_->endpoint->send(d_->remote, packet);
    if (!error || d_->closed || d_->finished) return;
    // Before the handshake is through, a socket error is a reason to wait, not to give up.
    if (d_->state == State::preparing) report(State::waiting, std::move(error));
}

// The idle timeout in force is the shorter of the two sides' (none counts as
// no limit). The library pings after 30 % of it without traffic either way,
// which leaves a lost ping two more tries before the peer gives up. It
// restarts the idle timer at most once after each packet received, so pings
// into the void do not keep a vanished peer's connection open: it ends at
// most 30 % of the idle timeout past the idle timeout after the peer's last
// packet (19.5 s for 15 s).
void QuicConnection::chooseKeepAlive() {
    Internals& d = *d_;
    d.keepAliveChosen = true;
    if (!d.configuration.keepAlive) return;
    std::uint64_t idle = d.configuration.idleTimeoutNs;
    if (const ngtcp2_transport_params* peer = ngtcp2_conn_get_remote_transport_params(d.conn)) {
        const std::uint64_t theirs = peer->max_idle_timeout;
        if (theirs != 0 && (idle == 0 || theirs < idle)) idle = theirs;
    }
    if (idle == 0) return;
    // A client pings sooner, at a quarter, with room for a round trip to
    // spare: while it is there its pings forestall the server's, so that the
    // two do not cross and each interval costs one ping and its
    // acknowledgement.
    ngtcp2_conn_set_keep_alive_timeout(d.conn, d.role == Role::client ? idle / 4 : idle / 10 * 3);
}

void QuicConnection::armTimer() {
    Internals& d = *d_;
    if (d.conn == nullptr || d.closed || d.finished) return;
    std::uint64_t expiry = ngtcp2_conn_get_expiry(d.conn);
    // The oldest waiting datagram is dropped at its age even when the
    // library has nothing to time.
    if (d.datagramMaxAgeNs != 0 && !d.datagrams.empty())
        expiry = std::min(expiry, d.datagrams.front().queuedAtNs + d.datagramMaxAgeNs + 1);
    if (expiry == std::numeric_limits<std::uint64_t>::max()) return;
    if (d.timerArmed && d.timerDeadlineNs <= expiry) return;
    d.timerArmed = true;
    d.timerDeadlineNs = expiry;
    const std::uint64_t now = d.executor->nowNs();
    std::weak_ptr<QuicConnection> weak = weak_from_this();
    d.executor->asyncAfter(expiry > now ? expiry - now : 0, [weak, expiry] {
        if (auto self = weak.lock()) self->onTimer(expiry);
    });
}

void QuicConnection::onTimer(std::uint64_t deadlineNs) {
    Internals& d = *d_;
    if (deadlineNs == d.timerDeadlineNs) d.timerArmed = false;
    if (d.conn == nullptr || d.closed || d.finished) return;
    const std::uint64_t now = d.executor->nowNs();
    if (ngtcp2_conn_get_expiry(d.conn) <= now) {
        const int result = ngtcp2_conn_handle_expiry(d.conn, now);
        if (result == NGTCP2_ERR_IDLE_CLOSE || result == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
            // Both end the connection silently, on both sides alike.
            d.finished = true;
            failDatagrams();
            report(State::failed,
                   QuicError::timeout(result == NGTCP2_ERR_IDLE_CLOSE ? "idle timeout" : "handshake timeout"));
            deliverEvents();
            return;
        }
        if (result != 0) {
            finishWithError(QuicError::library(result), result);
            deliverEvents();
            return;
        }
    }
    flush();
    deliverEvents();
}

} // namespace quillmere
