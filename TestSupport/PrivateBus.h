#pragma once

#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <filesystem>
#include <string>

namespace quillmere::testing {

// A dbus-daemon of the test's own, listening on a socket in a temporary
// folder, that lets every client own any name and send anything to anyone.
// It accepts connections when the constructor returns; it is stopped with
// the test.
class PrivateBus {
public:
    // What the bus stands in for: the session bus, or the system bus (for
    // daemons that look for one).
    enum class Kind { session, system };

    explicit PrivateBus(Kind kind = Kind::session);
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=...".
    const std::string& address() const { return address_; }

    // Whether a daemon accepts connections on the socket.
    static bool accepts(const std::filesystem::path& socket);

private:
    TemporaryFolder folder_;
    std::string address_;
    ChildProcess daemon_;
};

} // namespace quillmere::testing
