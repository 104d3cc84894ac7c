#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Quic/QuicConfiguration.h"
#include "Platform/Quic/QuicError.h"
#include "QuillmereTransport/PeerConnection.h"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

class BonjourAdvertisement;
class QuicListener;

namespace listener {
// Listening on the port actually bound.
struct Ready { std::uint16_t port = 0; bool operator==(const Ready&) const = default; };
// A new server-role connection, not yet started; the receiver starts it.
struct Connection { std::shared_ptr<PeerConnection> connection; };
// The listener failed: the error's text.
struct Failed { std::string text; bool operator==(const Failed&) const = default; };
} // namespace listener

using PeerListenerEvent = std::variant<listener::Ready, listener::Connection, listener::Failed>;

// Accepts QUIC connections on a UDP port, optionally advertised over
// Bonjour, and hands each one to its owner as a server-role PeerConnection.
// Stopping ends the accepting and the advertisement; the connections handed
// out keep working.
class PeerListener : public std::enable_shared_from_this<PeerListener> {
public:
    using Event = PeerListenerEvent;
    using EventHandler = std::function<void(const Event&)>;

    static constexpr std::string_view queueLabel = "com.ornbeck.quillmeretransport.listener";

    // port 0: any free port. Fails with the platform's error (a port in use)
    // and leaves nothing behind. With a service name the listener is
    // advertised as "_quillmere._udp" under it, with no TXT record.
    static std::expected<std::shared_ptr<PeerListener>, QuicError> make(QuicConfiguration parameters,
                                                                       std::string alpn, std::uint16_t port,
                                                                       std::optional<std::string> serviceName);
    ~PeerListener();
    PeerListener(const PeerListener&) = delete;
    PeerListener& operator=(const PeerListener&) = delete;

    // Every event arrives on the listener's queue.
    void start(EventHandler handler);
    // Not from the listener's queue. No connection is handed out after it returns.
    void stop();

    // Absent once stopped.
    std::optional<std::uint16_t> port() const;
    const std::string& alpn() const { return alpn_; }
    Executor& queue() const { return *queue_; }
    // For tests: the IP traffic class the socket carries.
    int trafficClass() const;

private:
    PeerListener(std::shared_ptr<QuicListener> listener, std::string alpn, std::optional<std::string> serviceName);

    void startOnQueue(EventHandler handler);
    void accepted(std::shared_ptr<QuicConnection> connection);
    void deliver(const Event& event);

    const std::shared_ptr<QuicListener> listener_;
    const std::string alpn_;
    const std::optional<std::string> serviceName_;
    const std::shared_ptr<Executor> queue_;
    const std::uint16_t boundPort_;

    // On the queue.
    EventHandler handler_;
    bool stopped_ = false;
    std::unique_ptr<BonjourAdvertisement> advertisement_;
    std::atomic<bool> stoppedForReaders_{false};
};

} // namespace quillmere
