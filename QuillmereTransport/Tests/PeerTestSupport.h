#pragma once

// Real identities in a temporary keychain, a trust set, and recorders of
// peer and listener events for the loopback tests.

#include "Platform/Defaults/Defaults.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "TestSupport/TemporaryFolder.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereTransport/PeerConnection.h"
#include "QuillmereTransport/PeerListener.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereWire/WireProtocol.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillmere::testing {

// Identities made as the host makes its own, in a keychain folder of the test.
class TestKeychain {
public:
    LocalIdentity make(const std::string& label) {
        auto made = IdentityStore(Keychain(folder_.path() / "keychain")).create(label, "QuillmereMac");
        if (!made) throw std::runtime_error(made.error().description());
        return *made;
    }
    const std::filesystem::path& path() const { return folder_.path(); }

private:
    TemporaryFolder folder_;
};

// The set of paired fingerprints a session listener accepts, behind a lock.
class TrustSet {
public:
    void add(const Digest32& fingerprint) {
        box_.withLock([&](auto& set) { set.insert(fingerprint); });
    }
    void remove(const Digest32& fingerprint) {
        box_.withLock([&](auto& set) { set.erase(fingerprint); });
    }
    // What the decision was asked, in order.
    std::vector<std::optional<Digest32>> asked() const {
        return asked_.get();
    }
    std::vector<std::string> askedOnQueues() const { return queues_.get(); }

    QUICParameters::Verify decision() {
        return [this](const std::optional<Digest32>& fingerprint) {
            asked_.withLock([&](auto& list) { list.push_back(fingerprint); });
            queues_.withLock([&](auto& list) { list.push_back(SerialQueue::currentLabel()); });
            if (!fingerprint) return false;
            return box_.withLock([&](auto& set) { return set.contains(*fingerprint); });
        };
    }

private:
    LockedBox<std::set<Digest32>> box_;
    LockedBox<std::vector<std::optional<Digest32>>> asked_;
    LockedBox<std::vector<std::string>> queues_;
};

// Defaults in a file of the test, so the user's own settings play no part.
class TestDefaults {
public:
    Defaults& defaults() { return defaults_; }

private:
    TemporaryFolder folder_;
    Defaults defaults_{folder_.path() / "defaults.ini"};
};

// Every event of one peer connection, with the queue it arrived on.
class PeerRecorder {
public:
    PeerConnection::EventHandler handler() {
        return [this](const PeerEvent& event) {
            {
                std::lock_guard lock(mutex_);
                if (closedSeen_) eventsAfterClosed_++;
                if (std::holds_alternative<peer::Closed>(event)) {
                    closedSeen_ = true;
                    closedAtNs_ = Clock::nowNs();
                }
                events_.push_back(event);
                queues_.push_back(SerialQueue::currentLabel());
            }
            changed_.notify_all();
        };
    }

    bool waitFor(const std::function<bool(const std::vector<PeerEvent>&)>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(events_); });
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([count](const auto& events) { return events.size() >= count; }, limit);
    }
    bool waitForClosed(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([](const auto& events) { return has<peer::Closed>(events); }, limit);
    }
    template <class T>
    bool waitForEvent(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return waitFor([](const auto& events) { return has<T>(events); }, limit);
    }

    std::vector<PeerEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> queues() const {
        std::lock_guard lock(mutex_);
        return queues_;
    }
    // "ready", "control:ping", "datagramFlowReady", "datagram:5", "closed:local"
    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const auto& event : events()) out.push_back(kindOf(event));
        return out;
    }
    std::optional<PeerCloseReason> closedReason() const {
        for (const auto& event : events()) {
            if (auto closed = std::get_if<peer::Closed>(&event)) return closed->reason;
        }
        return std::nullopt;
    }
    std::vector<ControlMessage> messages() const {
        std::vector<ControlMessage> out;
        for (const auto& event : events()) {
            if (auto control = std::get_if<peer::Control>(&event)) out.push_back(control->message);
        }
        return out;
    }
    std::vector<Bytes> datagrams() const {
        std::vector<Bytes> out;
        for (const auto& event : events()) {
            if (auto datagram = std::get_if<peer::Datagram>(&event)) out.push_back(datagram->bytes.toBytes());
        }
        return out;
    }
    std::optional<std::optional<Digest32>> readyFingerprint() const {
        for (const auto& event : events()) {
            if (auto ready = std::get_if<peer::Ready>(&event)) return ready->fingerprint;
        }
        return std::nullopt;
    }
    int eventsAfterClosed() const {
        std::lock_guard lock(mutex_);
        return eventsAfterClosed_;
    }
    std::uint64_t closedAtNs() const {
        std::lock_guard lock(mutex_);
        return closedAtNs_;
    }

    template <class T>
    static bool has(const std::vector<PeerEvent>& events) {
        for (const auto& event : events) {
            if (std::holds_alternative<T>(event)) return true;
        }
        return false;
    }

    static std::string kindOf(const PeerEvent& event) {
        if (std::holds_alternative<peer::Ready>(event)) return "ready";
        if (auto control = std::get_if<peer::Control>(&event)) {
            return "control:" + std::string(control->message.caseName());
        }
        if (std::holds_alternative<peer::DatagramFlowReady>(event)) return "datagramFlowReady";
        if (auto datagram = std::get_if<peer::Datagram>(&event)) return "datagram:" + std::to_string(datagram->bytes.size());
        if (auto closed = std::get_if<peer::Closed>(&event)) {
            switch (closed->reason.kind()) {
            case PeerCloseReason::Kind::failed: return "closed:failed";
            case PeerCloseReason::Kind::protocolError: return "closed:protocolError";
            case PeerCloseReason::Kind::local: return "closed:local";
            case PeerCloseReason::Kind::remote: return "closed:remote";
            }
        }
        return "?";
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PeerEvent> events_;
    std::vector<std::string> queues_;
    bool closedSeen_ = false;
    int eventsAfterClosed_ = 0;
    std::uint64_t closedAtNs_ = 0;
};

// A session listener on loopback whose accepted connections are started at
// once, each with a recorder of its own.
class TestSessionListener {
public:
    TestSessionListener(const LocalIdentity& host, TrustSet& trust, Defaults& defaults,
                        std::optional<std::string> serviceName = std::nullopt, bool startConnections = true)
        : startConnections_(startConnections) {
        auto parameters = QUICParameters::make(std::string(WireProtocol::protocolIdentifier), host, true,
                                               trust.decision(), defaults);
        auto made = PeerListener::make(std::move(parameters), std::string(WireProtocol::protocolIdentifier), 0,
                                       std::move(serviceName));
        if (!made) throw std::runtime_error(made.error().description);
        listener = *made;
        listener->start([this](const PeerListenerEvent& event) { received(event); });
    }

    ~TestSessionListener() {
        listener->stop();
        std::vector<Accepted> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(accepted_);
        }
        for (auto& entry : all) {
            entry.connection->cancel();
            entry.connection->isClosed(); // waits for the cancel to run
        }
    }

    std::uint16_t waitForPort() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return port_ != 0; });
        return port_;
    }

    struct Accepted {
        std::shared_ptr<PeerConnection> connection;
        std::shared_ptr<PeerRecorder> recorder;
    };

    std::optional<Accepted> waitForConnection(std::size_t index, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return accepted_.size() > index; })) return std::nullopt;
        return accepted_[index];
    }

    std::size_t connectionCount() {
        std::lock_guard lock(mutex_);
        return accepted_.size();
    }
    std::vector<std::string> eventQueues() {
        std::lock_guard lock(mutex_);
        return eventQueues_;
    }
    std::vector<std::string> failures() {
        std::lock_guard lock(mutex_);
        return failures_;
    }

    std::shared_ptr<PeerListener> listener;

private:
    void received(const PeerListenerEvent& event) {
        std::lock_guard lock(mutex_);
        eventQueues_.push_back(SerialQueue::currentLabel());
        if (auto ready = std::get_if<listener::Ready>(&event)) port_ = ready->port;
        if (auto failed = std::get_if<listener::Failed>(&event)) failures_.push_back(failed->text);
        if (auto connection = std::get_if<listener::Connection>(&event)) {
            auto recorder = std::make_shared<PeerRecorder>();
            if (startConnections_) connection->connection->start(recorder->handler());
            accepted_.push_back(Accepted{connection->connection, recorder});
        }
        changed_.notify_all();
    }

    bool startConnections_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint16_t port_ = 0;
    std::vector<Accepted> accepted_;
    std::vector<std::string> eventQueues_;
    std::vector<std::string> failures_;
};

// A client-role peer connection to 127.0.0.1:port, started with a recorder.
struct TestClient {
    std::shared_ptr<PeerConnection> connection;
    std::shared_ptr<PeerRecorder> recorder = std::make_shared<PeerRecorder>();

    static TestClient connect(std::uint16_t port, const LocalIdentity& identity, QUICParameters::Verify verify,
                              Defaults& defaults, double handshakeTimeout = PeerConnection::defaultHandshakeTimeout,
                              std::string alpn = std::string(WireProtocol::protocolIdentifier)) {
        TestClient client;
        auto parameters = QUICParameters::make(alpn, identity, true, std::move(verify), defaults);
        auto made = PeerConnection::make(SocketAddress::loopbackV4(port), std::move(parameters), alpn);
        if (!made) throw std::runtime_error(made.error().description);
        client.connection = *made;
        client.connection->setHandshakeTimeout(handshakeTimeout);
        client.connection->start(client.recorder->handler());
        return client;
    }

    ~TestClient() {
        if (!connection) return;
        connection->cancel();
        connection->isClosed();
    }
    TestClient() = default;
    TestClient(TestClient&&) = default;
    TestClient& operator=(TestClient&&) = default;

    // Runs on the connection's queue and waits.
    void onQueue(const std::function<void(PeerConnection&)>& work) {
        connection->queue().sync([&] { work(*connection); });
    }
};

// The control messages of one type a peer received, in order.
template <class T>
std::vector<T> received(const PeerRecorder& recorder) {
    std::vector<T> out;
    for (const ControlMessage& message : recorder.messages()) {
        if (const T* m = message.as<T>()) out.push_back(*m);
    }
    return out;
}

// The index-th control message of one type a peer receives, once it came.
template <class T>
std::optional<T> awaitMessage(PeerRecorder& recorder, std::size_t index = 0,
                              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    recorder.waitFor(
        [index](const std::vector<PeerEvent>& events) {
            std::size_t seen = 0;
            for (const auto& event : events) {
                const auto* control = std::get_if<peer::Control>(&event);
                if (control && control->message.is<T>() && seen++ == index) return true;
            }
            return false;
        },
        limit);
    const auto all = received<T>(recorder);
    if (all.size() <= index) return std::nullopt;
    return all[index];
}

// Accepts exactly the one fingerprint.
inline QUICParameters::Verify pinned(const Digest32& fingerprint) {
    return [fingerprint](const std::optional<Digest32>& seen) { return seen && *seen == fingerprint; };
}

inline ControlMessage ping(std::uint64_t time) { return msg::Ping{time}; }

// A host and a phone whose fingerprint the host trusts.
class PairedPeersTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = keychain.make("host");
        phone = keychain.make("phone");
        trust.add(phone->fingerprint);
    }

    TestKeychain keychain;
    TestDefaults defaults;
    TrustSet trust;
    std::optional<LocalIdentity> host;
    std::optional<LocalIdentity> phone;
};

} // namespace quillmere::testing
