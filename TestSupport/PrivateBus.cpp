#include "TestSupport/PrivateBus.h"

#include "QuillmereBase/FileDescriptor.h"
#include "TestSupport/Eventually.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace quillmere::testing {

PrivateBus::PrivateBus(Kind kind) {
    const auto socket = folder_.path() / "bus";
    const auto config = folder_.path() / "bus.conf";
    address_ = "unix:path=" + socket.string();
    std::ofstream(config) << "<busconfig><type>" << (kind == Kind::system ? "system" : "session") << "</type>"
                          << "<listen>" << address_ << "</listen><auth>EXTERNAL</auth>"
                          << "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                          << "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                          << "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/>"
                          << "<allow send_type=\"method_return\"/><allow send_type=\"error\"/>"
                          << "<allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
                          << "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/>"
                          << "</policy></busconfig>\n";
    daemon_ = ChildProcess({"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile"});
    // The socket file appears at bind(), before the daemon listens: wait
    // until a connection is accepted.
    if (!eventually([&] { return accepts(socket); })) throw std::runtime_error("dbus-daemon did not start");
}

bool PrivateBus::accepts(const std::filesystem::path& socket) {
    const FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

} // namespace quillmere::testing
