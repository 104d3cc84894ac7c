// Floods a QUIC server with what a hostile or broken network sends: packets
// shaped like a client's first Initial with noise inside, and clients whose
// handshakes stop halfway (only the server's first answer reaches them).
//
//   quillmere-quic-flood PORT JUNK HALF_OPEN SECONDS
//
// Sends the junk, opens the half-open clients, keeps them for SECONDS and exits.
//
// Or floods a host on 127.0.0.1 as a paired device that stops reading: it
// greets the host, then sends RATE pings a second for SECONDS and never reads
// the answers; its receive window is WINDOW bytes (default 65536). The
// device is the viewer whose state folder is given (paired beforehand).
//
//   quillmere-quic-flood pings PORT VIEWER_STATE RATE SECONDS [WINDOW]
//
// Or connects to a host on 127.0.0.1 as a device that never says hello, on
// its session listener's port or the port of a pairing invitation, with the
// identity of the viewer whose state folder is given; prints when and how
// the host ended the connection, or that it is still open after SECONDS.
//
//   quillmere-quic-flood silent PORT|INVITATION VIEWER_STATE SECONDS [HELLO_BYTES]
//
// HELLO_BYTES of its hello frame go out, never the whole frame; with none
// (the default) it opens no stream at all.

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Quic/QuicConnection.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereTransport/Tests/SilentClient.h"
#include "QuillmereViewer/ViewerState.h"
#include "QuillmereWire/Invitation.h"
#include "QuillmereWire/WireProtocol.h"
#include "TestSupport/LossyRelay.h"
#include "TestSupport/QuicFlood/PingFlood.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace quillmere;

Bytes junkInitial(std::mt19937& random) {
    Bytes packet{0xc3, 0x00, 0x00, 0x00, 0x01, 18};
    for (int i = 0; i < 18; ++i) packet.push_back(static_cast<std::uint8_t>(random()));
    packet.push_back(8);
    for (int i = 0; i < 8; ++i) packet.push_back(static_cast<std::uint8_t>(random()));
    packet.push_back(0); // no token
    const std::size_t rest = 1200 - packet.size() - 2;
    packet.push_back(static_cast<std::uint8_t>(0x40 | (rest >> 8)));
    packet.push_back(static_cast<std::uint8_t>(rest));
    while (packet.size() < 1200) packet.push_back(static_cast<std::uint8_t>(random()));
    return packet;
}

void sendJunk(std::uint16_t port, int count) {
    std::mt19937 random(11);
    const SocketAddress server = SocketAddress::loopbackV4(port);
    // A few sources, as a broken network would show them.
    std::vector<int> sockets;
    for (int i = 0; i < 8; ++i) sockets.push_back(::socket(AF_INET, SOCK_DGRAM, 0));
    for (int i = 0; i < count; ++i) {
        const Bytes packet = junkInitial(random);
        ::sendto(sockets[static_cast<std::size_t>(i) % sockets.size()], packet.data(), packet.size(), 0,
                 server.native(), server.length());
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int fd : sockets) ::close(fd);
}

int floodPings(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: quillmere-quic-flood pings PORT VIEWER_STATE RATE SECONDS [WINDOW]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const ViewerState state(argv[3]);
    const int rate = std::atoi(argv[4]);
    const double seconds = std::atof(argv[5]);
    auto identity = state.identity();
    auto deviceID = state.deviceID();
    if (!identity || !deviceID) {
        std::fprintf(stderr, "%s\n", (!identity ? identity.error() : deviceID.error()).c_str());
        return 1;
    }
    auto configuration = QUICParameters::make(std::string(WireProtocol::protocolIdentifier), *identity, true,
                                              [](const auto&) { return true; });
    configuration.streamWindow = argc == 7 ? std::strtoull(argv[6], nullptr, 10) : 65536;
    const Hello hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::client, *deviceID, WireID{},
                      state.deviceName().value_or("flood")};
    auto flood = testing::PingFlood::connect(SocketAddress::loopbackV4(port), std::move(configuration), hello);
    if (!flood) {
        std::fprintf(stderr, "%s\n", flood.error().description.c_str());
        return 1;
    }
    const auto outcome = (*flood)->run(rate, seconds);
    std::printf("%llu pings in %.1f s; ", static_cast<unsigned long long>(outcome.pings), outcome.seconds);
    if (outcome.closedBy) std::printf("closed after %.2f s: %s\n", outcome.closedAfterSeconds, outcome.closedBy->c_str());
    else std::printf("still open\n");
    return 0;
}

int stayingSilent(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: quillmere-quic-flood silent PORT|INVITATION VIEWER_STATE SECONDS [HELLO_BYTES]\n");
        return 2;
    }
    const auto invitation = Invitation::fromText(argv[2]);
    const auto port = invitation ? invitation->port : static_cast<std::uint16_t>(std::atoi(argv[2]));
    const auto identity = ViewerState(argv[3]).identity();
    const double seconds = std::atof(argv[4]);
    if (!identity) {
        std::fprintf(stderr, "%s\n", identity.error().c_str());
        return 1;
    }
    const std::string alpn(invitation ? WireProtocol::enrollmentProtocolIdentifier : WireProtocol::protocolIdentifier);
    auto client = testing::SilentClient::connect(
        SocketAddress::loopbackV4(port), QUICParameters::make(alpn, *identity, true, [](const auto&) { return true; }),
        argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 0);
    if (!client) {
        std::fprintf(stderr, "%s\n", client.error().description.c_str());
        return 1;
    }
    const bool ended = (*client)->waitForEnd(std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000)));
    const auto start = (*client)->handshakeDoneAtNs();
    for (const ControlMessage& message : (*client)->received()) {
        const auto* error = message.as<msg::Error>();
        std::printf("the host sent %s%s%s\n", std::string(message.caseName()).c_str(), error ? ": " : "",
                    error ? error->reason.c_str() : "");
    }
    if (!start) std::printf("no handshake; ");
    if (ended)
        std::printf("closed %.3f s after the handshake: %s\n",
                    static_cast<double>(*(*client)->endedAtNs() - start.value_or(*(*client)->endedAtNs())) / 1e9,
                    (*client)->endReason()->c_str());
    else
        std::printf("still open after %.1f s\n", seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "pings") return floodPings(argc, argv);
    if (argc > 1 && std::string_view(argv[1]) == "silent") return stayingSilent(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: quillmere-quic-flood PORT JUNK HALF_OPEN SECONDS\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const int junk = std::atoi(argv[2]);
    const int halfOpen = std::atoi(argv[3]);
    const int seconds = std::atoi(argv[4]);

    sendJunk(port, junk);

    testing::LossyRelay relay(port);
    testing::LossyRelay::Conditions stopHalfway;
    stopHalfway.passFirst = 1;
    relay.setConditions(testing::LossyRelay::Direction::toClient, stopHalfway);
    QuicConfiguration configuration;
    configuration.alpn = "quillmere/1";
    std::vector<std::pair<std::shared_ptr<SerialQueue>, std::shared_ptr<QuicConnection>>> clients;
    for (int i = 0; i < halfOpen; ++i) {
        auto queue = std::make_shared<SerialQueue>("flood.client");
        auto made = QuicConnection::connect(SocketAddress::loopbackV4(relay.port()), configuration, queue);
        if (!made) continue;
        auto connection = *made;
        queue->sync([&] { connection->start({}); });
        clients.emplace_back(queue, connection);
    }
    std::printf("junk %d, half-open %zu\n", junk, clients.size());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (auto& [queue, connection] : clients) queue->sync([&] { connection->close(0, ""); });
    clients.clear();
    return 0;
}
