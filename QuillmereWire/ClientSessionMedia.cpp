#include "QuillmereWire/ClientSession.h"

#include "QuillmereWire/MediaDatagram.h"

#include <algorithm>

namespace quillmere {
namespace {

constexpr std::size_t kindOffset = 1;
constexpr std::size_t surfaceOffset = 4;

std::uint32_t rawSurfaceID(ByteView bytes) {
    return std::uint32_t{bytes[surfaceOffset]} << 24 | std::uint32_t{bytes[surfaceOffset + 1]} << 16 |
           std::uint32_t{bytes[surfaceOffset + 2]} << 8 | std::uint32_t{bytes[surfaceOffset + 3]};
}

} // namespace

// Routing reads the kind and surface straight from the bytes: a video
// datagram is decoded once, by the assembler that takes it.
ClientActions ClientSession::receive(SharedBytes datagram, std::uint64_t nowNs) {
    if (phase_ != Phase::streaming) return {};
    ClientActions actions;
    const ByteView bytes = datagram.view();
    const auto video = MediaHeader::rawKind(MediaHeader::Kind::video);
    const auto audio = MediaHeader::rawKind(MediaHeader::Kind::audio);
    if (bytes.size() >= MediaHeader::headerSize && bytes[kindOffset] == video) {
        const std::uint32_t surfaceID = rawSurfaceID(bytes);
        if (surfaceID == mainSurfaceID) {
            receiveMain(std::move(datagram), nowNs, actions);
        } else {
            receiveExtra(surfaceID, std::move(datagram), nowNs, actions);
        }
    } else if (bytes.size() > kindOffset && bytes[kindOffset] == audio) {
        receiveAudio(datagram, actions);
    } else {
        // The main assembler rejects what nobody can use.
        receiveMain(std::move(datagram), nowNs, actions);
    }
    return actions;
}

void ClientSession::receiveAudio(const SharedBytes& datagram, ClientActions& actions) const {
    const auto decoded = MediaDatagram::decode(datagram.view());
    if (!decoded) return;
    const MediaHeader& header = decoded->header;
    if (header.kind != MediaHeader::Kind::audio || header.fragmentCount != 1) return;
    if (!audioGeneration_ || header.configGeneration != *audioGeneration_) return;
    actions.push_back(client::AudioPacket{header.surfaceID, header.frameID, header.captureTimeNs,
                                          Bytes(decoded->payload.begin(), decoded->payload.end())});
}

void ClientSession::observeMain(std::vector<AssemblyEvent>& events, std::uint64_t nowNs, bool deliver,
                                ClientActions& actions) {
    for (AssemblyEvent& event : events) {
        statistics_.record(event);
        if (const auto* lost = event.as<AssemblyEvent::Lost>()) ++losses_[static_cast<std::size_t>(lost->reason)];
        if (auto request = requester_.observe(event, nowNs)) actions.push_back(ClientAction::send(std::move(*request)));
        if (!deliver) continue;
        if (auto* complete = std::get_if<AssemblyEvent::Complete>(&event.value))
            actions.push_back(client::Deliver{std::move(complete->frame)});
    }
}

void ClientSession::receiveMain(SharedBytes datagram, std::uint64_t nowNs, ClientActions& actions) {
    auto events = assembler_.ingest(std::move(datagram), nowNs);
    observeMain(events, nowNs, true, actions);
}

void ClientSession::receiveExtra(std::uint32_t surfaceID, SharedBytes datagram, std::uint64_t nowNs,
                                 ClientActions& actions) {
    const auto found = extras_.find(surfaceID);
    if (found == extras_.end() || !found->second.streaming) return;
    ExtraSurface& extra = found->second;
    for (AssemblyEvent& event : extra.assembler.ingest(std::move(datagram), nowNs)) {
        if (auto request = extra.requester.observe(event, nowNs))
            actions.push_back(ClientAction::send(std::move(*request)));
        if (auto* complete = std::get_if<AssemblyEvent::Complete>(&event.value))
            actions.push_back(client::DeliverSurface{surfaceID, std::move(complete->frame)});
    }
}

ClientActions ClientSession::tick(std::uint64_t nowNs) {
    if (phase_ != Phase::streaming) return {};
    ClientActions actions;
    auto events = assembler_.expire(nowNs);
    observeMain(events, nowNs, false, actions);
    return actions;
}

ClientActions ClientSession::decodeFailed(std::uint64_t nowNs) {
    statistics_.recordDecode(false);
    if (phase_ != Phase::streaming) return {};
    const auto epoch = assembler_.epoch();
    if (!epoch) return {};
    auto request = requester_.request(*epoch, nowNs);
    if (!request) return {};
    return {ClientAction::send(std::move(*request))};
}

ClientActions ClientSession::report(std::uint64_t nowNs, std::int64_t decodeQueueDepth, std::uint8_t thermalState) {
    if (phase_ != Phase::streaming) return {};
    statistics_.decodeQueueDepth = static_cast<std::uint8_t>(std::clamp<std::int64_t>(decodeQueueDepth, 0, 255));
    statistics_.thermalState = std::min<std::uint8_t>(thermalState, 3);
    ClientActions actions;
    actions.push_back(ClientAction::send(statistics_.report(nowNs)));
    // Its pong feeds the clock-offset estimator.
    actions.push_back(ClientAction::send(msg::Ping{nowNs}));
    return actions;
}

} // namespace quillmere
