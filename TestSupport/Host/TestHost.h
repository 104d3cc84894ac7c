#pragma once

#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Keychain/Keychain.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Desktop/DesktopEnvironment.h"
#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Enrollment/EnrollmentService.h"
#include "QuillmereMac/HostService/HostTransportService.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/Host/NumberedPatternSource.h"
#include "TestSupport/PrivateBus.h"
#include "TestSupport/SignalSender.h"
#include "TestSupport/TemporaryFolder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

// The host as the composition root puts it together, on a main actor of its
// own: the engine over a keychain trust store, the transport service with
// its observers pointed at a private bus (where a logind stand-in answers)
// and a fake sysfs with one thermal zone, and the enrollment service for
// pairing through an invitation. The media side is the test's own, or the
// real media pipeline with a consent center that approves paired devices.
class TestHost {
public:
    static constexpr std::uint64_t millisecond = 1'000'000;

    struct Options {
        std::string name = "Test Mac";
        // The media side: this one; else, given a display (empty: $DISPLAY),
        // the real media pipeline over its windows and displays with the
        // test pattern numbered (numberAt); else one that refuses everything.
        std::shared_ptr<SessionMediaDelegate> media{};
        std::optional<std::string> pipelineDisplay{};
        // The desktop the media pipeline's backends come from; the host's X11
        // one over pipelineDisplay when none.
        std::shared_ptr<DesktopEnvironment> desktop{};
        // Changes to the media pipeline's services before it is made.
        std::function<void(MediaPipeline::Services&)> adjustPipeline{};
        bool advertise = false;
        std::uint64_t powerIntervalNs = 20'000 * millisecond;
        // The enrollment service's approval timeout, where approved devices
        // go (the engine by default) and its wall clock.
        std::uint64_t approvalTimeoutSeconds = EnrollmentService::approvalTimeoutSeconds;
        EnrollmentService::AddDevice addDevice{};
        EnrollmentService::Now now{};
        // The QUIC idle timeout of sessions and pairing, and how long a peer
        // of either may take to say hello: short ones let a test outwait
        // them in seconds.
        std::uint64_t idleTimeoutNs = QUICParameters::idleTimeoutMs * 1'000'000ULL;
        std::uint64_t helloLimitNs = HelloDeadline::defaultLimitNs;
        // How long a save waits for another holder of the keychain's lock.
        std::chrono::milliseconds lockWait = Keychain::defaultLockWait;
    };

    TestHost() : TestHost(Options{}) {}
    explicit TestHost(Options options);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // A new engine, transport and enrollment service over the same keychain,
    // as at the next launch.
    void compose();
    // Starts the engine; the session listener's port once it listens.
    std::uint16_t start();
    void stop();
    // Waits until every connection has run its close sequence: they report
    // to the main actor, which must outlive them.
    void drain();
    std::uint16_t sessionPort();

    // Adds a trusted device as an earlier pairing would have.
    TrustedPeer pair(const LocalIdentity& client, const std::string& name, std::uint8_t idByte);
    // Saves the device through the engine and waits for it.
    void pair(const TrustedPeer& peer);
    HostStatus status();
    std::vector<TrustedPeer> peers();
    // A second engine over the same keychain.
    std::shared_ptr<HostEngine> openEngine() { return engineOver(keys, main, options.lockWait); }
    // An engine over the trust store kept in a test keychain, with every
    // permission granted, living on main.
    static std::shared_ptr<HostEngine> engineOver(const TestKeychain& keychain, Executor& main,
                                                  std::chrono::milliseconds lockWait = Keychain::defaultLockWait);
    // The longest the main actor took to answer, asked every 20 ms until
    // done holds (or patience runs out).
    std::chrono::milliseconds longestMainWait(const std::function<bool()>& done);
    // The record of the paired devices in the keychain.
    std::filesystem::path trustRecord() const;

    // Pairing, as the pairing window and its user do it.
    EnrollmentService::State pairingState();
    template <class T>
    std::optional<T> awaitPairing(std::chrono::milliseconds limit = patience) {
        std::optional<T> found;
        eventually(
            [&] {
                const auto state = pairingState();
                if (const T* wanted = std::get_if<T>(&state)) found = *wanted;
                return found.has_value();
            },
            limit);
        return found;
    }
    // Shows an invitation; returns its text.
    std::string showInvitation(std::uint32_t lifetimeSeconds = EnrollmentService::invitationLifetimeSeconds);
    void decide(std::uint64_t token, bool approve);
    // Approves the device that asked to pair; false when none asked in time.
    bool approvePairing(std::chrono::milliseconds limit = patience);
    // Pairs a new device through an invitation; returns the device's identity.
    LocalIdentity pairThroughInvitation();

    // The thermal zone's temperature.
    void setTemperature(int milliCelsius);
    // The number the test pattern showed at a capture time (media pipeline only).
    std::optional<std::uint64_t> numberAt(std::uint64_t captureTimeNs) const;

    const Options options;
    TestKeychain keys;
    TestDefaults defaults;
    PrivateBus bus;
    SignalSender logind{bus.address(), true};
    TemporaryFolder sysfs;
    SerialQueue main{"main"};
    LocalIdentity identity = keys.make("host");
    // 90 %, on external power.
    LockedBox<HostPowerMonitor::Reading> powerReading{0x15A};
    // Display-awake activities held.
    LockedBox<int> awakeHeld{0};
    std::shared_ptr<NumberedPatternSource::Numbers> numbers = std::make_shared<NumberedPatternSource::Numbers>();
    std::shared_ptr<ConsentCenter> consent;
    // The real media pipeline, when the host has it, and its desktop.
    std::shared_ptr<MediaPipeline> pipeline;
    std::shared_ptr<DesktopEnvironment> desktop;
    std::shared_ptr<SessionMediaDelegate> media;
    std::shared_ptr<HostEngine> engine;
    std::shared_ptr<HostTransportService> transport;
    std::shared_ptr<EnrollmentService> enrollment;

private:
    void makeMediaPipeline(const std::string& display);
};

} // namespace quillmere::testing
