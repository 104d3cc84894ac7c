#pragma once

#include "QuillmereTransport/Identity/LocalIdentity.h"
#include "QuillmereViewer/HostLocator.h"
#include "QuillmereViewer/Interruption.h"
#include "QuillmereViewer/SessionDriver.h"
#include "QuillmereViewer/ViewerError.h"
#include "QuillmereViewer/ViewerOptions.h"
#include "QuillmereWire/ReconnectPolicy.h"

#include <expected>
#include <functional>
#include <string>
#include <vector>

namespace quillmere {

// One connect run: finds the host, opens a session connection pinned to the
// paired hosts' fingerprints, runs a SessionDriver on the connection's queue
// with a tick timer, and reconnects after a drop as the reconnect policy
// says. Blocks its caller until the run is over.
class ConnectRunner {
public:
    using Progress = std::function<void(const std::string&)>;

    static constexpr std::uint32_t reconnectInitialMs = 250;
    static constexpr std::uint32_t reconnectMaxMs = 8000;
    static constexpr std::uint64_t stableAfterNs = 10'000'000'000;
    // How long a closing connection may take before it is cut.
    static constexpr double closeGraceSeconds = 1.0;

    ConnectRunner(viewer::ConnectCommand command, LocalIdentity identity, WireID deviceID, std::string deviceName,
                  std::vector<TrustedPeer> hosts, Progress progress = {});

    // The summary once a session was reached; an error when none ever was.
    std::expected<SessionSummary, ViewerError> run(const Interruption& interruption);

    // The hello, capabilities and limits the viewer opens its sessions with.
    static SessionSettings settingsFor(const viewer::ConnectCommand& command, const WireID& deviceID,
                                       const std::string& deviceName);

private:
    struct Attempt;

    std::expected<HostTarget, ViewerError> locate(const Interruption& interruption) const;
    Attempt attempt(const HostTarget& target, const Interruption& interruption);
    void say(const std::string& text) const;
    // Why the log could not be written, if it could not.
    std::optional<std::string> writeTimingLog();

    viewer::ConnectCommand command_;
    LocalIdentity identity_;
    std::vector<TrustedPeer> hosts_;
    Progress progress_;
    SessionSettings settings_;
    ViewerRun run_;
};

} // namespace quillmere
