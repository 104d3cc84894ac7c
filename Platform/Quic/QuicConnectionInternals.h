#pragma once

// The state behind QuicConnection, shared by its source files only.

#include "Platform/Quic/ConnectionIDTable.h"
#include "Platform/Quic/QuicConnection.h"
#include "Platform/Quic/StreamSendBuffer.h"
#include "Platform/Quic/TlsCredentials.h"
#include "Platform/Quic/TlsSession.h"
#include "Platform/Quic/UdpEndpoint.h"

#include <ngtcp2/ngtcp2.h>

#include <deque>
#include <map>
#include <mutex>

namespace quillmere {

// Connection IDs we hand out; the receive thread reads this many bytes of a
// short header to find the connection.
inline constexpr std::size_t connectionIDLength = 18;

struct QuicConnection::Internals {
    struct InboxPacket {
        SocketAddress from;
        Bytes data;
    };

    // Received packets that keep their buffers: the receive thread fills one
    // inbox while the queue reads the other, then they trade places, so a
    // connection that is warm allocates nothing per packet.
    struct Inbox {
        std::vector<InboxPacket> packets;
        std::size_t count = 0;

        void add(const SocketAddress& from, ByteView data) {
            if (count == packets.size()) packets.emplace_back();
            InboxPacket& packet = packets[count++];
            packet.from = from;
            packet.data.assign(data.begin(), data.end());
        }
        bool empty() const { return count == 0; }
        const InboxPacket& front() const { return packets.front(); }
        std::span<const InboxPacket> taken() const { return {packets.data(), count}; }
        void clear() { count = 0; }
        // A burst's worth of buffers is kept, no more.
        void trim(std::size_t keep) {
            if (packets.size() > keep) packets.resize(keep);
        }
    };

    struct Stream {
        StreamSendBuffer buffer;
        bool open = false;      // known to the library
        bool blocked = false;   // flow control, until the next round
        bool readyReported = false;
    };

    struct PendingDatagram {
        Bytes data;
        // Used instead of data when the sender shares its buffer.
        SharedBytes shared;
        DatagramCompletion completion;
        std::uint64_t queuedAtNs = 0;

        ByteView view() const { return shared.empty() ? viewOf(data) : shared.view(); }
    };

    // Events gathered inside library calls, delivered once they returned.
    struct Event {
        enum class Kind : std::uint8_t { state, streamReady, peerStream, streamData, streamFailed, datagramFlow, datagram };
        Kind kind = Kind::state;
        State state = State::setup;
        StreamID stream = -1;
        Bytes data;
        // A datagram's bytes, handed on to the owner without another copy;
        // until its packet is read, where they lie in receivedDatagrams.
        SharedBytes datagram;
        std::size_t datagramOffset = 0;
        std::size_t datagramLength = 0;
        bool fin = false;
        QuicError error;
        bool hasError = false;
    };

    Role role = Role::client;
    QuicConfiguration configuration;
    std::shared_ptr<Executor> executor;
    std::shared_ptr<UdpEndpoint> endpoint;
    std::shared_ptr<ConnectionIDTable> table; // server only
    std::shared_ptr<TlsCredentials> credentials;
    SocketAddress remote;
    SocketAddress local;

    TlsHandshakeContext tlsContext;
    std::unique_ptr<TlsSession> tls;
    ngtcp2_conn* conn = nullptr;
    // Shared so that delivering an event holds them for the call without
    // copying a handler; null once closed.
    std::shared_ptr<const Handlers> handlers;

    bool started = false;
    bool closed = false;    // closed by this side: only the close packet goes out
    bool finished = false;  // closed by the peer, a timeout or a failure: nothing goes out
    State state = State::setup;

    // Filled by the receive thread.
    std::mutex inboxMutex;
    Inbox inbox;
    std::optional<QuicError> inboxError;
    bool inboxScheduled = false;
    bool inboxOpen = false; // set by start(): packets are processed from then on
    // The queue's side of the inbox, read outside the lock.
    Inbox reading;

    // Server: the client's first destination ID, and every ID registered.
    Bytes originalDestinationID;
    Bytes retriedFrom;
    std::optional<HandshakeBudget::Ticket> handshakeTicket;
    Bytes firstSourceID;
    std::vector<Bytes> registeredIDs;

    std::map<StreamID, Stream> streams;
    // Streams asked for before the peer allowed them, in order.
    std::deque<StreamID> pendingStreams;
    StreamID nextLocalStream = 0;

    bool datagramFlowRequested = false;
    bool datagramFlowReported = false;
    std::deque<PendingDatagram> datagrams;
    // 0: datagrams wait as long as it takes.
    std::uint64_t datagramMaxAgeNs = 0;
    std::uint64_t datagramsExpired = 0;

    std::deque<Event> events;
    // The datagrams of the packet being read, in one buffer they then share.
    Bytes receivedDatagrams;
    // Received stream bytes whose flow-control credit goes back after the read.
    std::vector<std::pair<StreamID, std::uint64_t>> credit;
    // Streams whose reading is paused, with the credit held back from each.
    std::map<StreamID, std::uint64_t> heldCredit;
    // The server's handshake ended on another protocol than ours.
    bool protocolMismatch = false;
    bool delivering = false;
    bool flushing = false;
    bool flushScheduled = false;

    // Set once the handshake completed: the peer's idle timeout is known then.
    bool keepAliveChosen = false;
    bool timerArmed = false;
    std::uint64_t timerDeadlineNs = 0;

    Bytes packetBuffer;
    // The packets of one round, sent together at its end.
    Bytes batchBuffer;
    std::vector<ByteView> batch;
    Bytes closePacket;
    int closeResends = 0;
    ngtcp2_path_storage pathStorage;

    void push(Event event) { events.push_back(std::move(event)); }
    void pushState(State newState, std::optional<QuicError> failure) {
        // The handshake is over, one way or the other.
        if (newState == State::ready || newState == State::failed || newState == State::cancelled)
            handshakeTicket.reset();
        Event event;
        event.kind = Event::Kind::state;
        event.state = newState;
        if (failure) {
            event.error = std::move(*failure);
            event.hasError = true;
        }
        state = newState;
        events.push_back(std::move(event));
    }
    void pushStream(Event::Kind kind, StreamID id) {
        Event event;
        event.kind = kind;
        event.stream = id;
        events.push_back(std::move(event));
    }
    ngtcp2_path* path() { return &pathStorage.path; }
};

// ngtcp2's callback table and connection settings.
struct QuicCallbacks {
    static ngtcp2_callbacks table(QuicConnection::Role role);
    static void settings(ngtcp2_settings& settings, const QuicConfiguration& configuration, std::uint64_t nowNs);
    static void transportParameters(ngtcp2_transport_params& parameters, const QuicConfiguration& configuration,
                                    QuicConnection::Role role);
    static void randomBytes(std::uint8_t* destination, std::size_t length);
    static void connectionIDIssued(void* userData, ByteView id);
    static void connectionIDRetired(void* userData, ByteView id);
    static QuicConnection* connectionOf(void* userData) { return static_cast<QuicConnection*>(userData); }
    static QuicConnection::Internals& internalsOf(void* userData) { return *connectionOf(userData)->d_; }
};

} // namespace quillmere
