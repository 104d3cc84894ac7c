#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ClientCloseReason.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere {

// What a client session asks its owner to do, one case per request.
namespace client {
// Send this message on the control stream.
struct Send { ControlMessage message; bool operator==(const Send&) const = default; };
// The host's list of shareable windows.
struct Windows { std::vector<CaptureWindow> windows; bool operator==(const Windows&) const = default; };
// New capture state of the main surface.
struct CaptureState {
    CaptureStateValue state = CaptureStateValue::awaitingConsent;
    bool operator==(const CaptureState&) const = default;
};
// (Re)configure the main surface's decoder.
struct Configure { StreamConfig config; bool operator==(const Configure&) const = default; };
// A complete encoded frame of the main surface.
struct Deliver { AssembledFrame frame; bool operator==(const Deliver&) const = default; };
struct InputControl {
    std::uint32_t generation = 0;
    InputControlStateValue state = InputControlStateValue::denied;
    std::uint16_t leaseMs = 0;
    bool operator==(const InputControl&) const = default;
};
// Clipboard text answering this client's pull.
struct ClipboardReceived { std::string text; bool operator==(const ClipboardReceived&) const = default; };
// The result of this client's push or pull.
struct ClipboardOutcome {
    std::uint32_t requestID = 0;
    quillmere::ClipboardOutcome outcome = quillmere::ClipboardOutcome::done;
    bool operator==(const ClipboardOutcome&) const = default;
};
// Set up audio decoding, values as received.
struct AudioConfigured {
    std::uint32_t generation = 0;
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint8_t frameMs = 0;
    bool operator==(const AudioConfigured&) const = default;
};
struct CursorShape { quillmere::CursorShape shape; bool operator==(const CursorShape&) const = default; };
struct HostPower { quillmere::HostPower power; bool operator==(const HostPower&) const = default; };
// One Opus packet.
struct AudioPacket {
    std::uint32_t streamID = 0;
    std::uint32_t sequence = 0;
    std::uint64_t captureTimeNs = 0;
    Bytes payload;
    bool operator==(const AudioPacket&) const = default;
};
struct ConfigureSurface {
    std::uint32_t surfaceID = 0;
    StreamConfig config;
    bool operator==(const ConfigureSurface&) const = default;
};
struct DeliverSurface {
    std::uint32_t surfaceID = 0;
    AssembledFrame frame;
    bool operator==(const DeliverSurface&) const = default;
};
// New capture state of an extra surface.
struct SurfaceState {
    std::uint32_t surfaceID = 0;
    CaptureStateValue state = CaptureStateValue::awaitingConsent;
    bool operator==(const SurfaceState&) const = default;
};
// The session is over; nothing more will be sent.
struct Closed { ClientCloseReason reason; bool operator==(const Closed&) const = default; };
} // namespace client

struct ClientAction
    : std::variant<client::Send, client::Windows, client::CaptureState, client::Configure, client::Deliver,
                   client::InputControl, client::ClipboardReceived, client::ClipboardOutcome,
                   client::AudioConfigured, client::CursorShape, client::HostPower, client::AudioPacket,
                   client::ConfigureSurface, client::DeliverSurface, client::SurfaceState, client::Closed> {
    using variant::variant;

    static ClientAction send(ControlMessage message) { return client::Send{std::move(message)}; }

    template <class T>
    bool is() const { return std::holds_alternative<T>(*this); }
    template <class T>
    const T* as() const { return std::get_if<T>(this); }

    // The case name ("send", "deliverSurface"), for logs.
    std::string_view caseName() const;
    // The case with its key values: "send(captureSelect)", "deliver(frame 7)", "closed(bye(normal))".
    std::string description() const;
};

using ClientActions = std::vector<ClientAction>;

} // namespace quillmere
