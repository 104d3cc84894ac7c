#pragma once

// A QUIC connection on its own serial queue that records everything it is
// told, for tests to wait on.

#include "Platform/Crypto/Tests/TestCertificates.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Quic/QuicConnection.h"
#include "Platform/Quic/QuicListener.h"
#include "TestSupport/Eventually.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quillmere::testing {

struct TestIdentity {
    Bytes certificate;
    Bytes privateKey;
};

inline TestIdentity makeIdentity(const char* curve = "P-256") {
    PKey key = ecKey(curve);
    return TestIdentity{selfSigned(key.get()), pkcs8Of(key.get())};
}

inline QuicConfiguration configurationFor(const TestIdentity& identity, QuicConfiguration::PeerCheck check = {}) {
    QuicConfiguration configuration;
    configuration.alpn = "quillmere/1";
    configuration.certificateDER = identity.certificate;
    configuration.privateKeyDER = identity.privateKey;
    configuration.peerCheck = std::move(check);
    return configuration;
}

class QuicTestPeer {
public:
    using State = QuicConnection::State;
    using StreamID = QuicConnection::StreamID;

    explicit QuicTestPeer(std::shared_ptr<SerialQueue> queue) : queue(std::move(queue)) {}

    // A client towards port on 127.0.0.1, started.
    static std::unique_ptr<QuicTestPeer> connect(std::uint16_t port, QuicConfiguration configuration) {
        auto peer = std::make_unique<QuicTestPeer>(std::make_shared<SerialQueue>("test.client"));
        auto made = QuicConnection::connect(SocketAddress::loopbackV4(port), std::move(configuration), peer->queue);
        if (!made) return nullptr;
        peer->adopt(*made);
        return peer;
    }

    void adopt(std::shared_ptr<QuicConnection> made) {
        connection = std::move(made);
        queue->sync([this] { connection->start(handlers()); });
    }

    ~QuicTestPeer() {
        if (connection) queue->sync([this] { connection->close(0, {}); });
        connection.reset();
    }

    void run(const std::function<void(QuicConnection&)>& work) {
        queue->sync([&] { work(*connection); });
    }

    // The condition runs under the peer's lock.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return eventually(
            [&] {
                std::lock_guard lock(mutex);
                return condition();
            },
            limit);
    }

    QuicConnection::Handlers handlers() {
        QuicConnection::Handlers h;
        h.stateChanged = [this](State state, const std::optional<QuicError>& error) {
            record([&] {
                states.push_back(state);
                if (error) errors.push_back(*error);
            });
        };
        h.streamReady = [this](StreamID stream) { record([&] { readyStreams.push_back(stream); }); };
        h.peerStreamOpened = [this](StreamID stream) { record([&] { peerStreams.push_back(stream); }); };
        h.streamData = [this](StreamID stream, ByteView data, bool fin) {
            record([&] {
                received[stream].insert(received[stream].end(), data.begin(), data.end());
                if (fin) finished[stream] = true;
            });
        };
        h.streamFailed = [this](StreamID stream, const QuicError& error) {
            record([&] { failedStreams[stream] = error; });
        };
        h.datagramFlowReady = [this](std::size_t usable) { record([&] { datagramFlowSizes.push_back(usable); }); };
        h.datagramReceived = [this](SharedBytes data) { record([&] { datagrams.push_back(data.toBytes()); }); };
        return h;
    }

    bool hasState(State state) {
        return std::find(states.begin(), states.end(), state) != states.end();
    }

    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<QuicConnection> connection;

    std::mutex mutex;
    std::vector<State> states;
    std::vector<QuicError> errors;
    std::vector<StreamID> readyStreams;
    std::vector<StreamID> peerStreams;
    std::map<StreamID, Bytes> received;
    std::map<StreamID, bool> finished;
    std::map<StreamID, QuicError> failedStreams;
    std::vector<std::size_t> datagramFlowSizes;
    std::vector<Bytes> datagrams;

private:
    template <class F>
    void record(F&& change) {
        std::lock_guard lock(mutex);
        change();
    }
};

// A listener that starts every connection it accepts as a QuicTestPeer.
class QuicTestServer {
public:
    explicit QuicTestServer(QuicConfiguration configuration) {
        auto made = QuicListener::make(std::move(configuration), SocketAddress::loopbackV4(0),
                                       [] { return std::make_shared<SerialQueue>("test.server"); });
        if (!made) return;
        listener = *made;
        listener->start(
            [this](std::shared_ptr<QuicConnection> connection) {
                auto queue = std::static_pointer_cast<SerialQueue>(connection->sharedExecutor());
                auto peer = std::make_unique<QuicTestPeer>(queue);
                QuicTestPeer* raw = peer.get();
                {
                    std::lock_guard lock(mutex);
                    peers.push_back(std::move(peer));
                }
                changed.notify_all();
                // Started on its own queue, not on the receive thread.
                queue->async([raw, connection] {
                    raw->connection = connection;
                    connection->start(raw->handlers());
                });
            },
            {});
    }

    ~QuicTestServer() {
        if (listener) listener->stop();
        std::vector<std::unique_ptr<QuicTestPeer>> all;
        {
            std::lock_guard lock(mutex);
            all.swap(peers);
        }
        // Each peer's start may still be on its queue.
        for (const auto& peer : all) peer->queue->sync([] {});
        all.clear();
    }

    std::uint16_t port() const { return listener->port(); }

    QuicTestPeer* waitForPeer(std::size_t index, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, limit, [&] { return peers.size() > index; })) return nullptr;
        QuicTestPeer* peer = peers[index].get();
        lock.unlock();
        // Wait until its start has run, so that run() finds the connection.
        peer->queue->sync([] {});
        return peer;
    }

    std::size_t peerCount() {
        std::lock_guard lock(mutex);
        return peers.size();
    }

    std::shared_ptr<QuicListener> listener;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<QuicTestPeer>> peers;
};

} // namespace quillmere::testing
