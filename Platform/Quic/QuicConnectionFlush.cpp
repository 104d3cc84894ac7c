#include "Platform/Quic/QuicConnection.h"

#include "Platform/Quic/QuicConnectionInternals.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::size_t maxStreamPieces = 16;
// A datagram the library keeps refusing although packets go out is
// dropped after this many tries rather than retried forever.
constexpr int maxRefusals = 2;

} // namespace

struct QuicConnection::FlushRound {
    std::uint64_t now = 0;
    std::size_t capacity = 0;   // bytes of one packet slot
    std::size_t usable = 0;     // largest datagram that fits a packet
    std::size_t quantum = 0;    // bytes the pacer lets out in one burst
    std::size_t maxPackets = 1; // slots for them
    std::uint8_t* slot = nullptr;
    std::size_t packets = 0;
    std::size_t bytes = 0;
    ngtcp2_pkt_info info{};
    std::vector<ngtcp2_vec> vectors;
    int refusedInARow = 0;
    std::uint64_t cwndLeft = 0;
    std::uint64_t pathPayload = 0;
    bool datagramTurn = false;
    // What the congestion window or pacing refused in this round.
    bool datagramsBlocked = false;
    bool streamsBlocked = false;
    // Completions of the datagrams written or dropped, told after the round
    // in one turn of the queue rather than one each.
    std::vector<std::pair<DatagramCompletion, bool>> completions;

    bool roomForDatagram() const;
    void complete(DatagramCompletion& completion, bool sent) {
        if (completion) completions.emplace_back(std::move(completion), sent);
    }
};

// Datagrams leave room in the congestion window for one more packet.
//
// The QUIC library arms no probe timer for packets that carry only
// datagrams. If such packets alone fill the window and are lost (a short
// outage does that), nothing may be sent that could be acknowledged and
// reveal the loss: the connection would stay stuck until its idle timeout,
// which the peer's own packets keep postponing. The room kept here lets
// stream data, acknowledgements and pings through at any time; they arm
// the probe timer or get acknowledged, and loss detection then clears the
// window. The window is read once a round and counted down as packets are
// written: only this round adds bytes in flight meanwhile.
bool QuicConnection::FlushRound::roomForDatagram() const { return cwndLeft > pathPayload; }

void QuicConnection::flush() {
    Internals& d = *d_;
    if (d.flushing || d.conn == nullptr || !d.started || d.closed || d.finished) return;
    d.flushing = true;
    openPendingStreams();
    const bool handshakeDone = ngtcp2_conn_get_handshake_completed(d.conn) != 0;
    if (handshakeDone && !d.keepAliveChosen) chooseKeepAlive();
    if (d.role == Role::client && d.datagramFlowRequested && !d.datagramFlowReported && handshakeDone &&
        usableDatagramSize() > 0) {
        d.datagramFlowReported = true;
        d.pushStream(Internals::Event::Kind::datagramFlow, -1);
    }
    for (auto& [stream, entry] : d.streams) entry.blocked = false;

    FlushRound round;
    round.now = d.executor->nowNs();
    round.capacity = ngtcp2_conn_get_max_tx_udp_payload_size(d.conn);
    round.usable = handshakeDone ? usableDatagramSize() : 0;
    // The quantum counts bytes: packets shorter than the largest (one
    // datagram each, acknowledgements) make a burst of more of them.
    round.quantum = ngtcp2_conn_get_send_quantum(d.conn);
    round.maxPackets = std::max<std::size_t>(1, 2 * round.quantum / std::max<std::size_t>(1, round.capacity));
    if (d.batchBuffer.size() < round.capacity * round.maxPackets) d.batchBuffer.resize(round.capacity * round.maxPackets);
    d.batch.clear();
    // Each packet is written into its own slot; a packet being coalesced
    // keeps its slot until it is complete.
    round.slot = d.batchBuffer.data();
    round.datagramsBlocked = !handshakeDone;
    round.cwndLeft = ngtcp2_conn_get_cwnd_left(d.conn);
    round.pathPayload = ngtcp2_conn_get_path_max_tx_udp_payload_size(d.conn);
    expireDatagrams(round);

    for (;;) {
        StreamID streamID = -1;
        if (!round.streamsBlocked) {
            for (auto& [id, entry] : d.streams) {
                if (entry.open && !entry.blocked && entry.buffer.hasUnsent()) {
                    streamID = id;
                    break;
                }
            }
        }
        const bool datagramWaiting = !round.datagramsBlocked && !d.datagrams.empty();
        Wrote wrote;
        if (datagramWaiting && (streamID < 0 || round.datagramTurn)) {
            round.datagramTurn = false;
            wrote = writeDatagram(round);
        } else if (streamID >= 0) {
            // Streams and datagrams take turns, so neither starves the other.
            round.datagramTurn = true;
            wrote = writeStream(round, streamID);
        } else {
            // Acknowledgements, probes, retransmissions and flow control.
            wrote = writeFramesOnly(round);
            if (wrote == Wrote::nothing) break;
        }
        if (wrote == Wrote::failed) break;
        if (wrote != Wrote::packet) continue;
        // The pacer spaces bursts of a send quantum; the timer brings the next one.
        if (++round.packets >= round.maxPackets || round.bytes >= round.quantum) break;
        round.slot += round.capacity;
    }
    // Queued before the packets leave, as each was before: work queued once
    // the peer has them comes after.
    if (!round.completions.empty()) {
        d.executor->async([completions = std::move(round.completions)] {
            for (const auto& [completion, sent] : completions) completion(sent);
        });
    }
    if (!d.closed) {
        if (!d.batch.empty()) {
            auto error = d.endpoint->sendBatch(d.remote, d.batch);
            if (error && d.state == State::preparing) report(State::waiting, std::move(error));
        }
        ngtcp2_conn_update_pkt_tx_time(d.conn, round.now);
    }
    d.batch.clear();
    d.flushing = false;
    armTimer();
}

// Datagrams queue in order, so the ones that waited too long are in front.
void QuicConnection::expireDatagrams(FlushRound& round) {
    Internals& d = *d_;
    if (d.datagramMaxAgeNs == 0) return;
    const std::uint64_t now = round.now;
    while (!d.datagrams.empty() && now > d.datagrams.front().queuedAtNs &&
           now - d.datagrams.front().queuedAtNs > d.datagramMaxAgeNs) {
        round.complete(d.datagrams.front().completion, false);
        d.datagrams.pop_front();
        ++d.datagramsExpired;
    }
}

QuicConnection::Wrote QuicConnection::writeDatagram(FlushRound& round) {
    Internals& d = *d_;
    auto& datagram = d.datagrams.front();
    const ByteView bytes = datagram.view();
    // A datagram that cannot fit is never accepted: refuse it rather than retry forever.
    if (round.usable == 0 || bytes.size() > round.usable) {
        round.complete(datagram.completion, false);
        d.datagrams.pop_front();
        return Wrote::more;
    }
    if (!round.roomForDatagram()) {
        round.datagramsBlocked = true;
        return Wrote::more;
    }
    int accepted = 0;
    ngtcp2_vec vector{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    const ngtcp2_ssize written =
        ngtcp2_conn_writev_datagram(d.conn, d.path(), &round.info, round.slot, round.capacity, &accepted,
                                    NGTCP2_WRITE_DATAGRAM_FLAG_MORE, 0, &vector, 1, round.now);
    if (accepted != 0) {
        round.refusedInARow = 0;
        round.complete(datagram.completion, true);
        d.datagrams.pop_front();
    }
    if (written == 0) {
        // Congestion window or pacing: acknowledgements or the timer resume.
        round.datagramsBlocked = true;
        return Wrote::more;
    }
    if (written > 0 && accepted == 0 && ++round.refusedInARow > maxRefusals) {
        round.complete(d.datagrams.front().completion, false);
        d.datagrams.pop_front();
        round.refusedInARow = 0;
    }
    return conclude(round, written);
}

QuicConnection::Wrote QuicConnection::writeStream(FlushRound& round, StreamID id) {
    Internals& d = *d_;
    Internals::Stream& stream = d.streams.at(id);
    const auto pieces = stream.buffer.unsent(maxStreamPieces);
    round.vectors.clear();
    std::uint64_t total = 0;
    for (const ByteView piece : pieces) {
        round.vectors.push_back(ngtcp2_vec{const_cast<std::uint8_t*>(piece.data()), piece.size()});
        total += piece.size();
    }
    const bool fin = stream.buffer.finFollows(total);
    const std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE | (fin ? NGTCP2_WRITE_STREAM_FLAG_FIN : 0);
    ngtcp2_ssize taken = -1;
    const ngtcp2_ssize written =
        ngtcp2_conn_writev_stream(d.conn, d.path(), &round.info, round.slot, round.capacity, &taken, flags, id,
                                  round.vectors.data(), round.vectors.size(), round.now);
    if (taken >= 0) {
        const bool finTaken = fin && static_cast<std::uint64_t>(taken) == total;
        for (auto& sent : stream.buffer.markSent(static_cast<std::uint64_t>(taken), finTaken)) {
            d.executor->async(std::move(sent));
        }
    }
    switch (written) {
    case NGTCP2_ERR_STREAM_DATA_BLOCKED:
        stream.blocked = true;
        return Wrote::more;
    case NGTCP2_ERR_STREAM_SHUT_WR:
    case NGTCP2_ERR_STREAM_NOT_FOUND:
        stream.buffer.clear();
        return Wrote::more;
    case 0:
        round.streamsBlocked = true;
        return Wrote::more;
    default:
        return conclude(round, written);
    }
}

QuicConnection::Wrote QuicConnection::writeFramesOnly(FlushRound& round) {
    Internals& d = *d_;
    const ngtcp2_ssize written = ngtcp2_conn_writev_stream(d.conn, d.path(), &round.info, round.slot, round.capacity,
                                                           nullptr, NGTCP2_WRITE_STREAM_FLAG_NONE, -1, nullptr, 0,
                                                           round.now);
    return conclude(round, written);
}

QuicConnection::Wrote QuicConnection::conclude(FlushRound& round, std::ptrdiff_t written) {
    Internals& d = *d_;
    if (written == NGTCP2_ERR_WRITE_MORE) return Wrote::more;
    if (written < 0) {
        finishWithError(QuicError::library(static_cast<int>(written)), static_cast<int>(written));
        return Wrote::failed;
    }
    if (written == 0) return Wrote::nothing;
    d.batch.emplace_back(round.slot, static_cast<std::size_t>(written));
    round.bytes += static_cast<std::size_t>(written);
    const auto bytes = static_cast<std::uint64_t>(written);
    round.cwndLeft = round.cwndLeft > bytes ? round.cwndLeft - bytes : 0;
    return Wrote::packet;
}

} // namespace quillmere
