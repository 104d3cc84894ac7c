#include "QuillmereViewer/ConnectRunner.h"

#include "Platform/Crypto/Crypto.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereTransport/PeerConnection.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereViewer/H264Decoder.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <utility>

namespace quillmere {
namespace {

// The driver's connection: control messages go out on the peer connection,
// and closing is graceful so that the goodbye reaches the host.
class PeerSessionLink final : public SessionLink {
public:
    explicit PeerSessionLink(std::shared_ptr<PeerConnection> connection) : connection_(std::move(connection)) {}
    void sendControl(ControlMessage message) override { connection_->sendControl(std::move(message)); }
    void close() override { connection_->close(ConnectRunner::closeGraceSeconds); }

private:
    std::shared_ptr<PeerConnection> connection_;
};

// Set on the connection's queue, waited for on the runner's thread.
struct ClosedSignal {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;

    void set() {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        changed.notify_all();
    }
    bool wait(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return closed; });
    }
};

std::string fullHex(const Digest32& digest) {
    std::string out;
    for (const std::uint8_t byte : digest.bytes()) out += fmt::format("{:02x}", byte);
    return out;
}

bool refusedByPeer(const PeerCloseReason& reason) {
    return reason.kind() == PeerCloseReason::Kind::failed &&
           reason.text().find("refused by the peer") != std::string::npos;
}

} // namespace

struct ConnectRunner::Attempt {
    std::optional<SessionEnd> end;
    bool retryable = false;
    std::optional<std::uint64_t> readyAtNs;
    // Why no session came about; set only when the host was never reached.
    std::optional<ViewerError> failure;
};

ConnectRunner::ConnectRunner(viewer::ConnectCommand command, LocalIdentity identity, WireID deviceID,
                             std::string deviceName, std::vector<TrustedPeer> hosts, Progress progress)
    : command_(std::move(command)), identity_(std::move(identity)), hosts_(std::move(hosts)),
      progress_(std::move(progress)), settings_(settingsFor(command_, deviceID, deviceName)),
      run_(command_.input, 100'000, static_cast<std::uint64_t>(command_.inputEveryMs) * 1'000'000) {}

SessionSettings ConnectRunner::settingsFor(const viewer::ConnectCommand& command, const WireID& deviceID,
                                           const std::string& deviceName) {
    SessionSettings settings;
    settings.hello = Hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::client, deviceID, WireID{},
                           deviceName};
    // No audio and no cursor shapes: the viewer shows nothing.
    settings.capabilities = Capabilities{codecs::h264, command.maxWidth, command.maxHeight, command.maxFPS, 1,
                                         FeatureSet{}, 65535};
    settings.limits = AssemblyLimits(8, 16 * 1024 * 1024, 200'000'000);
    settings.select = command.select;
    settings.listOnly = command.listOnly;
    settings.frameLimit = command.frameLimit;
    if (command.durationSeconds) settings.durationNs = static_cast<std::uint64_t>(*command.durationSeconds * 1e9);
    settings.expectTestPattern = command.expectTestPattern;
    settings.snapshotEvery = command.snapshotEvery;
    settings.pullClipboard = command.pullClipboard;
    return settings;
}

void ConnectRunner::say(const std::string& text) const {
    if (progress_) progress_(text);
}

std::expected<HostTarget, ViewerError> ConnectRunner::locate(const Interruption& interruption) const {
    if (command_.host) return HostLocator::at(*command_.host, *command_.port, hosts_);
    say("browsing for the host's advertisement");
    return HostLocator::browse(hosts_, std::chrono::milliseconds(static_cast<std::int64_t>(command_.timeoutSeconds * 1000)),
                               [&interruption] { return interruption.raised(); });
}

ConnectRunner::Attempt ConnectRunner::attempt(const HostTarget& target, const Interruption& interruption) {
    Attempt result;
    auto refused = std::make_shared<LockedBox<std::optional<Digest32>>>();
    auto verify = [hosts = target.hosts, refused](const std::optional<Digest32>& fingerprint) {
        if (!fingerprint) return false;
        for (const TrustedPeer& host : hosts) {
            if (host.fingerprint.constantTimeEquals(*fingerprint)) return true;
        }
        refused->set(*fingerprint);
        return false;
    };
    const std::string alpn(WireProtocol::protocolIdentifier);
    auto made = PeerConnection::make(target.address, QUICParameters::make(alpn, identity_, true, verify), alpn);
    if (!made) {
        result.end = SessionEnd{SessionEnd::Kind::connectionLost, made.error().description};
        result.retryable = true;
        result.failure = ViewerError{fmt::format("could not reach the host at {}: {}", target.description,
                                                 made.error().description)};
        return result;
    }
    auto decoder = H264Decoder::make();
    if (!decoder) {
        result.end = SessionEnd{SessionEnd::Kind::failed, decoder.error()};
        result.failure = ViewerError{decoder.error(), ViewerError::checksFailed};
        return result;
    }
    std::shared_ptr<PeerConnection> connection = *made;
    connection->setHandshakeTimeout(command_.timeoutSeconds);
    // Every session gets a nonce of its own.
    if (auto random = Crypto::randomBytes(WireID::byteCount)) settings_.hello.sessionNonce = *WireID::fromBytes(*random);
    PeerSessionLink link(connection);
    auto driver = std::make_shared<SessionDriver>(settings_, run_, link, **decoder, &Clock::nowNs, progress_);
    auto closed = std::make_shared<ClosedSignal>();

    auto timer = DispatchTimer::make(connection->queue());
    timer->schedule(Clock::nowNs() + SessionDriver::tickNs, SessionDriver::tickNs, 1'000'000);
    timer->setHandler([weak = std::weak_ptr<SessionDriver>(driver)] {
        if (auto driver = weak.lock()) driver->tick(Clock::nowNs());
    });
    timer->resume();

    say(fmt::format("connecting to {}", target.description));
    connection->start([driver, closed](const PeerEvent& event) {
        const std::uint64_t now = Clock::nowNs();
        if (std::holds_alternative<peer::Ready>(event)) {
            driver->connected(now);
        } else if (const auto* control = std::get_if<peer::Control>(&event)) {
            driver->received(control->message, now);
        } else if (const auto* datagram = std::get_if<peer::Datagram>(&event)) {
            driver->datagram(datagram->bytes, now);
        } else if (const auto* ended = std::get_if<peer::Closed>(&event)) {
            driver->connectionClosed(ended->reason);
            closed->set();
        }
    });

    bool interruptSent = false;
    std::optional<std::chrono::steady_clock::time_point> endingSince;
    while (!closed->wait(std::chrono::milliseconds(20))) {
        if (interruption.raised() && !interruptSent) {
            interruptSent = true;
            connection->queue().async([driver] { driver->interrupt(); });
        }
        bool ending = false;
        connection->queue().sync([&] { ending = driver->end().has_value(); });
        if (ending && !endingSince) endingSince = std::chrono::steady_clock::now();
        // A host that never lets the connection close does not hold the run.
        if (endingSince && std::chrono::steady_clock::now() - *endingSince > std::chrono::seconds(3))
            connection->cancel();
    }
    connection->queue().sync([&] {
        timer->cancel();
        result.end = driver->end();
        result.retryable = driver->retryable();
        result.readyAtNs = driver->readyAtNs();
        const auto& reason = driver->closeReason();
        if (result.readyAtNs || !reason || result.end->kind != SessionEnd::Kind::connectionLost) return;
        // The host was never reached: say why.
        if (const auto presented = refused->get()) {
            result.retryable = false;
            result.failure = ViewerError{fmt::format("the host at {} presented fingerprint {}, which is not that of a "
                                                     "paired host",
                                                     target.description, fullHex(*presented))};
        } else if (refusedByPeer(*reason)) {
            result.retryable = false;
            result.failure = ViewerError{fmt::format("the host at {} refused this viewer: it is not paired with that "
                                                     "host (pair again)",
                                                     target.description)};
        } else {
            result.failure = ViewerError{fmt::format("could not reach the host at {}: {}", target.description,
                                                     closeReasonText(*reason))};
        }
    });
    return result;
}

std::expected<SessionSummary, ViewerError> ConnectRunner::run(const Interruption& interruption) {
    if (command_.snapshots) {
        auto snapshots = SnapshotWriter::open(*command_.snapshots);
        if (!snapshots) return std::unexpected(ViewerError{snapshots.error(), ViewerError::checksFailed});
        settings_.snapshots = std::make_shared<SnapshotQueue>(std::move(*snapshots), interruption);
    }
    ReconnectPolicy policy(reconnectInitialMs, reconnectMaxMs, std::max<std::int64_t>(command_.retries, 1),
                           stableAfterNs);
    std::optional<ViewerError> lastFailure;
    std::optional<SessionEnd> end;
    for (bool first = true;; first = false) {
        Attempt attempted;
        auto target = locate(interruption);
        if (target) {
            attempted = attempt(*target, interruption);
        } else {
            attempted.end = SessionEnd{SessionEnd::Kind::connectionLost, target.error().text};
            attempted.failure = target.error();
            // Browsing already waited its time; an address that does not resolve will not start to.
            attempted.retryable = !first;
        }
        if (attempted.readyAtNs) policy.connected(*attempted.readyAtNs);
        if (attempted.failure) lastFailure = attempted.failure;
        end = attempted.end;
        if (interruption.raised()) {
            end = SessionEnd{SessionEnd::Kind::interrupted, {}};
            break;
        }
        if (!attempted.retryable || command_.retries == 0) break;
        const auto decision = policy.next(true, Clock::nowNs());
        const auto* retry = decision.asRetry();
        if (!retry) break;
        say(fmt::format("{}; trying again in {} ms (attempt {} of {})", end ? end->description() : "disconnected",
                        retry->delayMs, retry->attempt, command_.retries));
        if (interruption.sleep(std::chrono::milliseconds(retry->delayMs))) {
            end = SessionEnd{SessionEnd::Kind::interrupted, {}};
            break;
        }
    }
    // The queue's thread reads the interruption, which is lent to this call only.
    const std::shared_ptr<SnapshotQueue> snapshots = std::exchange(settings_.snapshots, nullptr);
    if (run_.summary.connections == 0) {
        if (end && end->kind == SessionEnd::Kind::interrupted)
            return std::unexpected(ViewerError{"interrupted before the host answered"});
        if (lastFailure) return std::unexpected(*lastFailure);
        return std::unexpected(ViewerError{fmt::format("no session with the host: {}",
                                                       end ? end->description() : "no attempt")});
    }
    run_.summary.end = end;
    if (snapshots) {
        if (auto written = snapshots->drain()) {
            run_.summary.snapshots = *written;
        } else {
            run_.summary.end = SessionEnd{SessionEnd::Kind::failed, written.error()};
        }
        run_.summary.snapshotsSkipped = snapshots->skipped();
    }
    if (auto failed = writeTimingLog()) run_.summary.end = SessionEnd{SessionEnd::Kind::failed, *failed};
    return run_.summary;
}

std::optional<std::string> ConnectRunner::writeTimingLog() {
    if (!command_.timingLog) return std::nullopt;
    const auto& path = *command_.timingLog;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << run_.timing.jsonLines();
    out.close();
    if (!out) return fmt::format("the frame timing log {} could not be written", path.string());
    run_.summary.timingLog = path.string();
    return std::nullopt;
}

} // namespace quillmere
