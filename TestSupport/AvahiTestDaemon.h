#pragma once

#include "TestSupport/ChildProcess.h"
#include "TestSupport/PrivateBus.h"
#include "TestSupport/TemporaryFolder.h"

#include <string>
#include <vector>

namespace quillmere::testing {

// A private system bus and an mDNS daemon (Avahi) for one test. The daemon
// runs in a network namespace of its own whose only interface is loopback,
// so nothing is multicast on a real network; its run files sit on a tmpfs
// of its own (without root, in a user namespace). The process's
// DBUS_SYSTEM_BUS_ADDRESS points at the private bus, which is all
// libavahi-client and avahi-browse look at.
class AvahiTestDaemon {
public:
    AvahiTestDaemon();
    AvahiTestDaemon(const AvahiTestDaemon&) = delete;
    AvahiTestDaemon& operator=(const AvahiTestDaemon&) = delete;

    // Empty when the daemons run; otherwise why not.
    const std::string& problem() const { return problem_; }
    // True when the namespace could not be made here (not a failure of ours).
    bool namespacesRefused() const { return namespacesRefused_; }

    // A service as avahi-browse resolves it.
    struct Service {
        std::string name;
        std::string address;
        std::string port;
        std::string txt;
        bool operator==(const Service&) const = default;
    };
    // What avahi-browse resolves of a service type right now.
    std::vector<Service> services(const std::string& type) const;

private:
    void startAvahi(const std::string& config);

    TemporaryFolder folder_;
    PrivateBus bus_{PrivateBus::Kind::system};
    std::string problem_;
    bool namespacesRefused_ = false;
    ChildProcess avahi_;
};

} // namespace quillmere::testing
