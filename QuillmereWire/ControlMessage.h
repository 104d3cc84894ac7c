#pragma once

#include "QuillmereBase/ByteWriter.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/WireEnums.h"
#include "QuillmereWire/WireError.h"
#include "QuillmereWire/WireID.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quillmere {

// Payload records. Equality is memberwise throughout.

struct Hello {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    PeerRole role = PeerRole::client;
    WireID deviceID;
    WireID sessionNonce;
    std::string name;
    bool operator==(const Hello&) const = default;
};

struct Capabilities {
    CodecSet codecs;
    std::uint16_t maxWidth = 0;
    std::uint16_t maxHeight = 0;
    std::uint16_t maxFPS = 0;
    std::uint8_t maxSurfaces = 0;
    FeatureSet features;
    std::uint16_t maxDatagram = 0;
    bool operator==(const Capabilities&) const = default;
};

struct StreamConfig {
    static constexpr std::size_t maxParameterSets = 8;
    static constexpr std::size_t maxParameterSetBytes = 1024;

    std::uint32_t surfaceID = 0;
    std::uint32_t configGeneration = 0;
    std::uint32_t epoch = 0;
    VideoCodec codec = VideoCodec::h264;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t fps = 0;
    std::uint32_t bitrateKbps = 0;
    std::vector<Bytes> parameterSets;
    bool operator==(const StreamConfig&) const = default;
};

struct ReceiverReport {
    std::uint32_t surfaceID = 0;
    std::uint16_t intervalMs = 0;
    std::uint32_t framesReceived = 0;
    std::uint32_t framesLost = 0;
    std::uint32_t framesLate = 0;
    std::uint32_t framesDecoded = 0;
    std::uint32_t decodeErrors = 0;
    std::uint16_t maxAssemblyAgeMs = 0;
    std::uint16_t displayedFPSCenti = 0;
    std::uint8_t decodeQueueDepth = 0;
    std::uint8_t thermalState = 0;
    bool operator==(const ReceiverReport&) const = default;
};

struct CaptureWindow {
    static constexpr std::size_t maxTitleBytes = 128;
    static constexpr std::size_t maxAppBytes = 64;
    // 0xFFFFFF00 to 0xFFFFFF0F stand for the first 16 displays.
    static constexpr std::uint32_t displayIDBase = 0xFFFFFF00;

    std::uint32_t windowID = 0;
    std::string title;
    std::string app;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool operator==(const CaptureWindow&) const = default;
};

struct CursorShape {
    static constexpr std::size_t maxPNGBytes = 60000;
    static constexpr std::uint16_t maxPointHeight = 256;

    std::uint16_t hotspotX = 0;
    std::uint16_t hotspotY = 0;
    std::uint16_t pointHeight = 0;
    Bytes png;
    bool operator==(const CursorShape&) const = default;
};

struct HostPower {
    std::uint8_t percent = 0;
    bool charging = false;
    bool operator==(const HostPower&) const = default;
};

// The event inside an input message.
namespace input {
struct Key { std::uint16_t usage = 0; bool down = false; bool operator==(const Key&) const = default; };
struct PointerMove { std::int16_t dx = 0; std::int16_t dy = 0; bool operator==(const PointerMove&) const = default; };
struct PointerAbsolute { std::uint16_t x = 0; std::uint16_t y = 0; bool operator==(const PointerAbsolute&) const = default; };
struct Button { InputButton button = InputButton::left; bool down = false; bool operator==(const Button&) const = default; };
struct Scroll {
    std::int16_t dx = 0;
    std::int16_t dy = 0;
    ScrollUnit unit = ScrollUnit::pixel;
    bool operator==(const Scroll&) const = default;
};
struct Text { std::string text; bool operator==(const Text&) const = default; };
struct Renew { bool operator==(const Renew&) const = default; };
struct Release { bool operator==(const Release&) const = default; };
} // namespace input

struct InputEvent : std::variant<input::Key, input::PointerMove, input::PointerAbsolute, input::Button, input::Scroll,
                                 input::Text, input::Renew, input::Release> {
    static constexpr std::size_t maxTextBytes = 255;
    using variant::variant;
};

// Message cases whose payload is not one of the records above.
namespace msg {
struct Error { ErrorCode code = ErrorCode::protocolViolation; std::string reason; bool operator==(const Error&) const = default; };
struct ConfigAck { std::uint32_t surfaceID = 0; std::uint32_t configGeneration = 0; bool operator==(const ConfigAck&) const = default; };
struct StartStream { std::uint32_t surfaceID = 0; bool operator==(const StartStream&) const = default; };
struct StopStream {
    std::uint32_t surfaceID = 0;
    StopReason reason = StopReason::user;
    bool operator==(const StopStream&) const = default;
};
struct RecoveryRequest {
    std::uint32_t surfaceID = 0;
    std::uint32_t epoch = 0;
    std::uint32_t lastCompleteFrameID = 0;
    RecoveryReason reason = RecoveryReason::frameLoss;
    bool operator==(const RecoveryRequest&) const = default;
};
struct CaptureList { std::vector<CaptureWindow> windows; bool operator==(const CaptureList&) const = default; };
struct CaptureSelect { std::uint32_t surfaceID = 0; std::uint32_t windowID = 0; bool operator==(const CaptureSelect&) const = default; };
struct CaptureState {
    std::uint32_t surfaceID = 0;
    std::uint32_t captureGeneration = 0;
    CaptureStateValue state = CaptureStateValue::awaitingConsent;
    bool operator==(const CaptureState&) const = default;
};
struct Pause { std::uint32_t surfaceID = 0; bool paused = false; bool operator==(const Pause&) const = default; };
struct Ping { std::uint64_t senderTimeNs = 0; bool operator==(const Ping&) const = default; };
struct Pong {
    std::uint64_t echoedTimeNs = 0;
    std::uint64_t responderTimeNs = 0;
    bool operator==(const Pong&) const = default;
};
struct Bye { ByeReason reason = ByeReason::normal; bool operator==(const Bye&) const = default; };
struct EnrollRequest {
    WireID invitationID;
    Digest32 proof;
    std::string deviceName;
    bool operator==(const EnrollRequest&) const = default;
};
struct EnrollPending { WireID invitationID; bool operator==(const EnrollPending&) const = default; };
struct EnrollResult {
    WireID invitationID;
    EnrollmentOutcome outcome = EnrollmentOutcome::denied;
    Digest32 hostProof;
    bool operator==(const EnrollResult&) const = default;
};
struct InputControlState {
    std::uint32_t generation = 0;
    InputControlStateValue state = InputControlStateValue::denied;
    std::uint16_t leaseMs = 0;
    bool operator==(const InputControlState&) const = default;
};
struct Input {
    std::uint32_t seq = 0;
    std::uint32_t generation = 0;
    InputEvent event;
    bool operator==(const Input&) const = default;
};
struct ClipboardPush { std::uint32_t requestID = 0; std::string text; bool operator==(const ClipboardPush&) const = default; };
struct ClipboardPull { std::uint32_t requestID = 0; bool operator==(const ClipboardPull&) const = default; };
struct ClipboardResult {
    std::uint32_t requestID = 0;
    ClipboardOutcome outcome = ClipboardOutcome::done;
    bool operator==(const ClipboardResult&) const = default;
};
struct AudioConfig {
    std::uint32_t generation = 0;
    std::uint32_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint8_t frameMs = 0;
    bool operator==(const AudioConfig&) const = default;
};
struct FocusHint { std::uint32_t surfaceID = 0; std::uint16_t ttlMs = 0; bool operator==(const FocusHint&) const = default; };
struct SurfaceBudget {
    std::uint32_t surfaceID = 0;
    std::uint16_t maxWidth = 0;
    std::uint16_t maxHeight = 0;
    bool operator==(const SurfaceBudget&) const = default;
};
struct TextSize { std::uint8_t level = 0; bool operator==(const TextSize&) const = default; };
struct ScreenShape { std::uint8_t shape = 0; bool operator==(const ScreenShape&) const = default; };
// A received message of unknown type that its sender marked ignorable.
struct Ignored { std::uint16_t type = 0; bool operator==(const Ignored&) const = default; };
struct CaptureListRequest { bool operator==(const CaptureListRequest&) const = default; };
struct InputControlRequest { bool operator==(const InputControlRequest&) const = default; };
} // namespace msg

// One case per control message, in the vocabulary's order.
struct ControlMessage
    : std::variant<Hello, Capabilities, msg::Error, StreamConfig, msg::ConfigAck, msg::StartStream, msg::StopStream,
                   msg::RecoveryRequest, ReceiverReport, msg::CaptureList, msg::CaptureSelect, msg::CaptureState,
                   msg::Pause, msg::Ping, msg::Pong, msg::Bye, msg::EnrollRequest, msg::EnrollPending,
                   msg::EnrollResult, msg::InputControlState, msg::Input, msg::ClipboardPush, msg::ClipboardPull,
                   msg::ClipboardResult, msg::AudioConfig, msg::FocusHint, msg::SurfaceBudget, msg::TextSize,
                   msg::ScreenShape, CursorShape, HostPower, msg::Ignored, msg::CaptureListRequest,
                   msg::InputControlRequest> {
    static constexpr std::size_t maxErrorReasonBytes = 128;
    static constexpr std::size_t maxCaptureWindows = 64;

    using variant::variant;

    template <class T>
    bool is() const { return std::holds_alternative<T>(*this); }
    template <class T>
    const T* as() const { return std::get_if<T>(this); }

    // The case name ("hello", "captureSelect"), for logs.
    std::string_view caseName() const;

    // The frame type; for input chosen by the event's case, for ignored the
    // type it was received with.
    std::uint16_t typeCode() const;
    // Checks every field rule, then appends the payload. On failure the
    // writer holds a partial payload that the caller must drop.
    WireStatus encodePayload(ByteWriter& writer) const;
    // One whole frame: type, flags (ignorable only for hostPower), length, payload.
    WireResult<Bytes> encodeFrame() const;

    // The message carried by one frame's payload, with every field rule
    // applied. An unknown type becomes ignored(type) when its sender marked
    // it ignorable, else unsupportedMessage(type).
    static WireResult<ControlMessage> decode(std::uint16_t type, bool ignorable, ByteView payload);
};

} // namespace quillmere
