#include "Platform/Quic/QuicConnectionInternals.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

namespace quillmere {

// Every function here runs inside an ngtcp2 call. None calls back into
// ngtcp2 or into the connection's handlers: they record what happened, and
// the connection acts on it once the library call has returned.

namespace {

using Internals = QuicConnection::Internals;

constexpr std::uint64_t connectionWindow = 8 * 1024 * 1024;
constexpr std::uint64_t maxConnectionWindow = 64 * 1024 * 1024;
constexpr std::uint64_t maxStreamWindow = 32 * 1024 * 1024;

void pushStreamFailure(Internals& d, std::int64_t stream, std::uint64_t code, std::string_view what) {
    Internals::Event event;
    event.kind = Internals::Event::Kind::streamFailed;
    event.stream = stream;
    event.error = QuicError{QuicError::Domain::application, static_cast<std::int64_t>(code),
                            std::string(what) + " (application error " + std::to_string(code) + ")"};
    event.hasError = true;
    d.push(std::move(event));
}

void random(std::uint8_t* destination, std::size_t length, const ngtcp2_rand_ctx*) {
    QuicCallbacks::randomBytes(destination, length);
}

int newConnectionID(ngtcp2_conn*, ngtcp2_cid* id, std::uint8_t* token, std::size_t length, void* userData) {
    QuicCallbacks::randomBytes(id->data, length);
    id->datalen = length;
    QuicCallbacks::randomBytes(token, NGTCP2_STATELESS_RESET_TOKENLEN);
    QuicCallbacks::connectionIDIssued(userData, ByteView(id->data, id->datalen));
    return 0;
}

int removeConnectionID(ngtcp2_conn*, const ngtcp2_cid* id, void* userData) {
    QuicCallbacks::connectionIDRetired(userData, ByteView(id->data, id->datalen));
    return 0;
}

int handshakeCompleted(ngtcp2_conn*, void* userData) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    if (d.role != QuicConnection::Role::server) return 0;
    if (!d.configuration.alpn.empty()) {
        const auto selected = d.tls->selectedProtocol();
        if (!selected || *selected != d.configuration.alpn) {
            d.protocolMismatch = true;
            return NGTCP2_ERR_CALLBACK_FAILURE;
        }
    }
    // A server is sure of its peer once the handshake completed; a client
    // only once the server confirms it, since the server may still refuse
    // the client's certificate.
    d.pushState(QuicConnection::State::ready, std::nullopt);
    return 0;
}

int handshakeConfirmed(ngtcp2_conn*, void* userData) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    if (d.role != QuicConnection::Role::client) return 0;
    d.pushState(QuicConnection::State::ready, std::nullopt);
    return 0;
}

int streamOpened(ngtcp2_conn* conn, std::int64_t stream, void* userData) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    if (ngtcp2_conn_is_local_stream(conn, stream)) return 0;
    Internals::Stream& entry = d.streams[stream];
    entry.open = true;
    d.pushStream(Internals::Event::Kind::peerStream, stream);
    return 0;
}

int streamData(ngtcp2_conn*, std::uint32_t flags, std::int64_t stream, std::uint64_t, const std::uint8_t* data,
               std::size_t length, void* userData, void*) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    Internals::Event event;
    event.kind = Internals::Event::Kind::streamData;
    event.stream = stream;
    event.data.assign(data, data + length);
    event.fin = (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0;
    d.push(std::move(event));
    if (length > 0) d.credit.emplace_back(stream, length);
    return 0;
}

int streamAcknowledged(ngtcp2_conn*, std::int64_t stream, std::uint64_t offset, std::uint64_t length, void* userData,
                       void*) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    const auto found = d.streams.find(stream);
    if (found != d.streams.end()) found->second.buffer.acknowledge(offset, length);
    return 0;
}

int streamClosed(ngtcp2_conn*, std::uint32_t, std::int64_t stream, std::uint64_t, void* userData, void*) {
    QuicCallbacks::internalsOf(userData).streams.erase(stream);
    QuicCallbacks::internalsOf(userData).heldCredit.erase(stream);
    return 0;
}

int streamReset(ngtcp2_conn*, std::int64_t stream, std::uint64_t, std::uint64_t code, void* userData, void*) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    pushStreamFailure(d, stream, code, "stream reset by the peer");
    return 0;
}

int streamStopSending(ngtcp2_conn*, std::int64_t stream, std::uint64_t code, void* userData, void*) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    pushStreamFailure(d, stream, code, "the peer stopped reading the stream");
    return 0;
}

int streamCreditExtended(ngtcp2_conn*, std::int64_t stream, std::uint64_t, void* userData, void*) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    const auto found = d.streams.find(stream);
    if (found != d.streams.end()) found->second.blocked = false;
    return 0;
}

int datagramReceived(ngtcp2_conn*, std::uint32_t, const std::uint8_t* data, std::size_t length, void* userData) {
    Internals& d = QuicCallbacks::internalsOf(userData);
    if (d.role == QuicConnection::Role::server && !d.datagramFlowReported) {
        // A server learns of the client's datagram flow from its first datagram.
        d.datagramFlowReported = true;
        d.pushStream(Internals::Event::Kind::datagramFlow, -1);
    }
    Internals::Event event;
    event.kind = Internals::Event::Kind::datagram;
    // The library reuses its buffer for the next packet; the datagrams of
    // this one go into one buffer, so small ones cost one allocation a packet.
    if (d.receivedDatagrams.capacity() == 0) d.receivedDatagrams.reserve(UdpEndpoint::maxDatagramSize);
    event.datagramOffset = d.receivedDatagrams.size();
    event.datagramLength = length;
    d.receivedDatagrams.insert(d.receivedDatagrams.end(), data, data + length);
    d.push(std::move(event));
    return 0;
}

} // namespace

void QuicCallbacks::randomBytes(std::uint8_t* destination, std::size_t length) {
    if (gnutls_rnd(GNUTLS_RND_RANDOM, destination, length) != 0) {
        // The generator failing is not something to carry on after.
        std::abort();
    }
}

void QuicCallbacks::connectionIDIssued(void* userData, ByteView id) { connectionOf(userData)->registerID(id); }

void QuicCallbacks::connectionIDRetired(void* userData, ByteView id) {
    Internals& d = internalsOf(userData);
    if (d.table) d.table->remove(id, connectionOf(userData));
}

ngtcp2_callbacks QuicCallbacks::table(QuicConnection::Role role) {
    ngtcp2_callbacks callbacks{};
    if (role == QuicConnection::Role::client) {
        callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
        callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
    } else {
        callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.rand = random;
    callbacks.get_new_connection_id = newConnectionID;
    callbacks.remove_connection_id = removeConnectionID;
    callbacks.handshake_completed = handshakeCompleted;
    callbacks.handshake_confirmed = handshakeConfirmed;
    callbacks.stream_open = streamOpened;
    callbacks.recv_stream_data = streamData;
    callbacks.acked_stream_data_offset = streamAcknowledged;
    callbacks.stream_close = streamClosed;
    callbacks.stream_reset = streamReset;
    callbacks.stream_stop_sending = streamStopSending;
    callbacks.extend_max_stream_data = streamCreditExtended;
    callbacks.recv_datagram = datagramReceived;
    return callbacks;
}

void QuicCallbacks::settings(ngtcp2_settings& settings, const QuicConfiguration& configuration,
                             std::uint64_t nowNs) {
    ngtcp2_settings_default(&settings);
    settings.initial_ts = nowNs;
    settings.initial_rtt = configuration.initialRttNs;
    settings.handshake_timeout = configuration.handshakeTimeoutNs;
    settings.max_window = maxConnectionWindow;
    settings.max_stream_window = maxStreamWindow;
    // Wi-Fi loses packets at random: a window that shrinks at every loss,
    // as Cubic's does, holds video back until it goes stale. BBR paces by
    // the measured bandwidth and round trip instead.
    settings.cc_algo = NGTCP2_CC_ALGO_BBR;
}

void QuicCallbacks::transportParameters(ngtcp2_transport_params& parameters, const QuicConfiguration& configuration,
                                        QuicConnection::Role role) {
    ngtcp2_transport_params_default(&parameters);
    // Both defaults are unusable here: no idle timeout at all, and no datagrams.
    parameters.max_idle_timeout = configuration.idleTimeoutNs;
    parameters.max_datagram_frame_size = configuration.maxDatagramFrameSize;
    parameters.initial_max_streams_bidi = role == QuicConnection::Role::server ? configuration.maxIncomingStreams : 0;
    parameters.initial_max_streams_uni = 0;
    parameters.initial_max_data = connectionWindow;
    parameters.initial_max_stream_data_bidi_local = configuration.streamWindow;
    parameters.initial_max_stream_data_bidi_remote = configuration.streamWindow;
    parameters.initial_max_stream_data_uni = 0;
    parameters.max_udp_payload_size = UdpEndpoint::maxDatagramSize;
}

} // namespace quillmere
