#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/ControlMessageType.h"
#include "QuillmereWire/ControlMessageValidation.h"
#include "QuillmereWire/WireProtocol.h"
#include "QuillmereWire/WireText.h"

namespace quillmere {

namespace {

using Type = ControlMessageType;

// Most messages are a few dozen bytes; large fields reserve their own room.
constexpr std::size_t typicalPayloadBytes = 56;

// The length rule of a text field, then its encoding: a string that is not
// UTF-8 would only be refused by the peer, so it is refused here instead.
WireStatus checkText(std::string_view text, std::size_t maxBytes, std::string_view field) {
    if (auto r = requireUTF8Length(text, maxBytes, field); !r) return r;
    if (!isValidUTF8(text)) return std::unexpected(WireError::invalidString());
    return {};
}

// Enumerations can hold any value of their width; only listed cases go out.
template <class E>
WireStatus checkEnum(E value, std::string_view field) {
    return decodeEnum<E>(rawValue(value), field).has_value()
               ? WireStatus{}
               : std::unexpected(WireError::unknownValue(std::string(field), rawValue(value)));
}

std::uint16_t inputTypeCode(const InputEvent& event) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(Type::inputKey) + event.index());
}

struct TypeCodeOf {
    std::uint16_t operator()(const Hello&) const { return code(Type::hello); }
    std::uint16_t operator()(const Capabilities&) const { return code(Type::capabilities); }
    std::uint16_t operator()(const msg::Error&) const { return code(Type::error); }
    std::uint16_t operator()(const StreamConfig&) const { return code(Type::streamConfig); }
    std::uint16_t operator()(const msg::ConfigAck&) const { return code(Type::configAck); }
    std::uint16_t operator()(const msg::StartStream&) const { return code(Type::startStream); }
    std::uint16_t operator()(const msg::StopStream&) const { return code(Type::stopStream); }
    std::uint16_t operator()(const msg::RecoveryRequest&) const { return code(Type::recoveryRequest); }
    std::uint16_t operator()(const ReceiverReport&) const { return code(Type::receiverReport); }
    std::uint16_t operator()(const msg::CaptureList&) const { return code(Type::captureList); }
    std::uint16_t operator()(const msg::CaptureSelect&) const { return code(Type::captureSelect); }
    std::uint16_t operator()(const msg::CaptureState&) const { return code(Type::captureState); }
    std::uint16_t operator()(const msg::Pause&) const { return code(Type::pause); }
    std::uint16_t operator()(const msg::Ping&) const { return code(Type::ping); }
    std::uint16_t operator()(const msg::Pong&) const { return code(Type::pong); }
    std::uint16_t operator()(const msg::Bye&) const { return code(Type::bye); }
    std::uint16_t operator()(const msg::EnrollRequest&) const { return code(Type::enrollRequest); }
    std::uint16_t operator()(const msg::EnrollPending&) const { return code(Type::enrollPending); }
    std::uint16_t operator()(const msg::EnrollResult&) const { return code(Type::enrollResult); }
    std::uint16_t operator()(const msg::InputControlState&) const { return code(Type::inputControlState); }
    std::uint16_t operator()(const msg::Input& m) const { return inputTypeCode(m.event); }
    std::uint16_t operator()(const msg::ClipboardPush&) const { return code(Type::clipboardPush); }
    std::uint16_t operator()(const msg::ClipboardPull&) const { return code(Type::clipboardPull); }
    std::uint16_t operator()(const msg::ClipboardResult&) const { return code(Type::clipboardResult); }
    std::uint16_t operator()(const msg::AudioConfig&) const { return code(Type::audioConfig); }
    std::uint16_t operator()(const msg::FocusHint&) const { return code(Type::focusHint); }
    std::uint16_t operator()(const msg::SurfaceBudget&) const { return code(Type::surfaceBudget); }
    std::uint16_t operator()(const msg::TextSize&) const { return code(Type::textSize); }
    std::uint16_t operator()(const msg::ScreenShape&) const { return code(Type::screenShape); }
    std::uint16_t operator()(const CursorShape&) const { return code(Type::cursorShape); }
    std::uint16_t operator()(const HostPower&) const { return code(Type::hostPower); }
    std::uint16_t operator()(const msg::Ignored& m) const { return m.type; }
    std::uint16_t operator()(const msg::CaptureListRequest&) const { return code(Type::captureListRequest); }
    std::uint16_t operator()(const msg::InputControlRequest&) const { return code(Type::inputControlRequest); }

    static std::uint16_t code(Type type) { return static_cast<std::uint16_t>(type); }
};

// The rules of an input event, checked before seq and generation go out.
struct InputEventCheck {
    WireStatus operator()(const input::Button& e) const { return checkEnum(e.button, "input.button"); }
    WireStatus operator()(const input::Scroll& e) const { return checkEnum(e.unit, "input.scrollUnit"); }
    WireStatus operator()(const input::Text& e) const {
        if (auto r = validateInputText(e.text); !r) return r;
        if (!isValidUTF8(e.text)) return std::unexpected(WireError::invalidString());
        return {};
    }
    template <class Event>
    WireStatus operator()(const Event&) const { return {}; }
};

// The input event after seq and generation.
struct InputEventWriter {
    ByteWriter& w;

    void operator()(const input::Key& e) const {
        w.writeU16(e.usage);
        w.writeBool(e.down);
    }
    void operator()(const input::PointerMove& e) const {
        w.writeU16(static_cast<std::uint16_t>(e.dx));
        w.writeU16(static_cast<std::uint16_t>(e.dy));
    }
    void operator()(const input::PointerAbsolute& e) const {
        w.writeU16(e.x);
        w.writeU16(e.y);
    }
    void operator()(const input::Button& e) const {
        w.writeU8(static_cast<std::uint8_t>(e.button));
        w.writeBool(e.down);
    }
    void operator()(const input::Scroll& e) const {
        w.writeU16(static_cast<std::uint16_t>(e.dx));
        w.writeU16(static_cast<std::uint16_t>(e.dy));
        w.writeU8(static_cast<std::uint8_t>(e.unit));
    }
    void operator()(const input::Text& e) const { w.writeShortString(e.text); }
    void operator()(const input::Renew&) const {}
    void operator()(const input::Release&) const {}
};

struct PayloadWriter {
    ByteWriter& w;

    WireStatus operator()(const Hello& m) const {
        if (auto r = checkEnum(m.role, "hello.role"); !r) return r;
        if (auto r = checkText(m.name, WireProtocol::maxNameBytes, "hello.name"); !r) return r;
        w.writeU16(m.major);
        w.writeU16(m.minor);
        w.writeU8(static_cast<std::uint8_t>(m.role));
        w.writeBytes(m.deviceID.view());
        w.writeBytes(m.sessionNonce.view());
        w.writeShortString(m.name);
        return {};
    }
    WireStatus operator()(const Capabilities& m) const {
        if (auto r = validate(m); !r) return r;
        w.writeU32(m.codecs.rawValue);
        w.writeU16(m.maxWidth);
        w.writeU16(m.maxHeight);
        w.writeU16(m.maxFPS);
        w.writeU8(m.maxSurfaces);
        w.writeU32(m.features.rawValue);
        w.writeU16(m.maxDatagram);
        return {};
    }
    WireStatus operator()(const msg::Error& m) const {
        if (auto r = checkEnum(m.code, "error.code"); !r) return r;
        if (auto r = checkText(m.reason, ControlMessage::maxErrorReasonBytes, "error.reason"); !r) return r;
        w.writeU16(static_cast<std::uint16_t>(m.code));
        w.writeShortString(m.reason);
        return {};
    }
    WireStatus operator()(const StreamConfig& m) const {
        if (auto r = checkEnum(m.codec, "streamConfig.codec"); !r) return r;
        if (auto r = validate(m); !r) return r;
        std::size_t setBytes = 0;
        for (const Bytes& set : m.parameterSets) setBytes += 2 + set.size();
        w.reserve(24 + setBytes);
        w.writeU32(m.surfaceID);
        w.writeU32(m.configGeneration);
        w.writeU32(m.epoch);
        w.writeU8(static_cast<std::uint8_t>(m.codec));
        w.writeU16(m.width);
        w.writeU16(m.height);
        w.writeU16(m.fps);
        w.writeU32(m.bitrateKbps);
        w.writeU8(static_cast<std::uint8_t>(m.parameterSets.size()));
        for (const Bytes& set : m.parameterSets) {
            w.writeU16(static_cast<std::uint16_t>(set.size()));
            w.writeBytes(viewOf(set));
        }
        return {};
    }
    WireStatus operator()(const msg::ConfigAck& m) const {
        w.writeU32(m.surfaceID);
        w.writeU32(m.configGeneration);
        return {};
    }
    WireStatus operator()(const msg::StartStream& m) const {
        w.writeU32(m.surfaceID);
        return {};
    }
    WireStatus operator()(const msg::StopStream& m) const {
        if (auto r = checkEnum(m.reason, "stopStream.reason"); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU8(static_cast<std::uint8_t>(m.reason));
        return {};
    }
    WireStatus operator()(const msg::RecoveryRequest& m) const {
        if (auto r = checkEnum(m.reason, "recoveryRequest.reason"); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU32(m.epoch);
        w.writeU32(m.lastCompleteFrameID);
        w.writeU8(static_cast<std::uint8_t>(m.reason));
        return {};
    }
    WireStatus operator()(const ReceiverReport& m) const {
        if (auto r = validate(m); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU16(m.intervalMs);
        w.writeU32(m.framesReceived);
        w.writeU32(m.framesLost);
        w.writeU32(m.framesLate);
        w.writeU32(m.framesDecoded);
        w.writeU32(m.decodeErrors);
        w.writeU16(m.maxAssemblyAgeMs);
        w.writeU16(m.displayedFPSCenti);
        w.writeU8(m.decodeQueueDepth);
        w.writeU8(m.thermalState);
        return {};
    }
    WireStatus operator()(const msg::CaptureList& m) const {
        if (auto r = require(m.windows.size() <= ControlMessage::maxCaptureWindows, "captureList.count"); !r) return r;
        w.writeU16(static_cast<std::uint16_t>(m.windows.size()));
        for (const CaptureWindow& window : m.windows) {
            if (auto r = checkText(window.title, CaptureWindow::maxTitleBytes, "captureList.title"); !r) return r;
            if (auto r = checkText(window.app, CaptureWindow::maxAppBytes, "captureList.app"); !r) return r;
            w.writeU32(window.windowID);
            w.writeShortString(window.title);
            w.writeShortString(window.app);
            w.writeU16(window.width);
            w.writeU16(window.height);
        }
        return {};
    }
    WireStatus operator()(const msg::CaptureSelect& m) const {
        if (auto r = require(m.surfaceID != 0, "captureSelect.surfaceID"); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU32(m.windowID);
        return {};
    }
    WireStatus operator()(const msg::CaptureState& m) const {
        if (auto r = checkEnum(m.state, "captureState.state"); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU32(m.captureGeneration);
        w.writeU8(static_cast<std::uint8_t>(m.state));
        return {};
    }
    WireStatus operator()(const msg::Pause& m) const {
        w.writeU32(m.surfaceID);
        w.writeBool(m.paused);
        return {};
    }
    WireStatus operator()(const msg::Ping& m) const {
        w.writeU64(m.senderTimeNs);
        return {};
    }
    WireStatus operator()(const msg::Pong& m) const {
        w.writeU64(m.echoedTimeNs);
        w.writeU64(m.responderTimeNs);
        return {};
    }
    WireStatus operator()(const msg::Bye& m) const {
        if (auto r = checkEnum(m.reason, "bye.reason"); !r) return r;
        w.writeU8(static_cast<std::uint8_t>(m.reason));
        return {};
    }
    WireStatus operator()(const msg::EnrollRequest& m) const {
        if (auto r = checkText(m.deviceName, WireProtocol::maxNameBytes, "enrollRequest.deviceName"); !r) return r;
        w.writeBytes(m.invitationID.view());
        w.writeBytes(m.proof.view());
        w.writeShortString(m.deviceName);
        return {};
    }
    WireStatus operator()(const msg::EnrollPending& m) const {
        w.writeBytes(m.invitationID.view());
        return {};
    }
    WireStatus operator()(const msg::EnrollResult& m) const {
        if (auto r = checkEnum(m.outcome, "enrollResult.outcome"); !r) return r;
        w.writeBytes(m.invitationID.view());
        w.writeU8(static_cast<std::uint8_t>(m.outcome));
        w.writeBytes(m.hostProof.view());
        return {};
    }
    WireStatus operator()(const msg::InputControlState& m) const {
        if (auto r = checkEnum(m.state, "inputControlState.state"); !r) return r;
        w.writeU32(m.generation);
        w.writeU8(static_cast<std::uint8_t>(m.state));
        w.writeU16(m.leaseMs);
        return {};
    }
    WireStatus operator()(const msg::Input& m) const {
        if (auto r = std::visit(InputEventCheck{}, m.event); !r) return r;
        w.writeU32(m.seq);
        w.writeU32(m.generation);
        std::visit(InputEventWriter{w}, m.event);
        return {};
    }
    WireStatus operator()(const msg::ClipboardPush& m) const {
        if (auto r = require(!m.text.empty() && m.text.size() <= WireProtocol::maxClipboardBytes, "clipboard.text");
            !r)
            return r;
        if (!isValidUTF8(m.text)) return std::unexpected(WireError::invalidString());
        w.reserve(6 + m.text.size());
        w.writeU32(m.requestID);
        w.writeU16(static_cast<std::uint16_t>(m.text.size()));
        w.writeBytes(ByteView(reinterpret_cast<const std::uint8_t*>(m.text.data()), m.text.size()));
        return {};
    }
    WireStatus operator()(const msg::ClipboardPull& m) const {
        w.writeU32(m.requestID);
        return {};
    }
    WireStatus operator()(const msg::ClipboardResult& m) const {
        if (auto r = checkEnum(m.outcome, "clipboard.outcome"); !r) return r;
        w.writeU32(m.requestID);
        w.writeU8(static_cast<std::uint8_t>(m.outcome));
        return {};
    }
    WireStatus operator()(const msg::AudioConfig& m) const {
        if (auto r = validateAudioConfig(m.sampleRate, m.channels, m.frameMs); !r) return r;
        w.writeU32(m.generation);
        w.writeU8(opusCodecByte);
        w.writeU32(m.sampleRate);
        w.writeU8(m.channels);
        w.writeU8(m.frameMs);
        return {};
    }
    WireStatus operator()(const msg::FocusHint& m) const {
        if (auto r = require(m.surfaceID != 0, "focusHint.surfaceID"); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU16(m.ttlMs);
        return {};
    }
    WireStatus operator()(const msg::SurfaceBudget& m) const {
        if (auto r = validateSurfaceBudget(m.surfaceID, m.maxWidth, m.maxHeight); !r) return r;
        w.writeU32(m.surfaceID);
        w.writeU16(m.maxWidth);
        w.writeU16(m.maxHeight);
        return {};
    }
    WireStatus operator()(const msg::TextSize& m) const {
        if (auto r = require(m.level <= WireProtocol::maxTextSizeLevel, "textSize.level"); !r) return r;
        w.writeU8(m.level);
        return {};
    }
    WireStatus operator()(const msg::ScreenShape& m) const {
        if (auto r = require(m.shape <= WireProtocol::maxScreenShape, "screenShape.shape"); !r) return r;
        w.writeU8(m.shape);
        return {};
    }
    WireStatus operator()(const CursorShape& m) const {
        if (auto r = validate(m); !r) return r;
        w.reserve(8 + m.png.size());
        w.writeU16(m.hotspotX);
        w.writeU16(m.hotspotY);
        w.writeU16(m.pointHeight);
        w.writeU16(static_cast<std::uint16_t>(m.png.size()));
        w.writeBytes(viewOf(m.png));
        return {};
    }
    WireStatus operator()(const HostPower& m) const {
        if (auto r = require(m.percent <= 100, "hostPower.percent"); !r) return r;
        w.writeU8(m.percent);
        w.writeBool(m.charging);
        return {};
    }
    WireStatus operator()(const msg::Ignored& m) const {
        return std::unexpected(WireError::unsupportedMessage(m.type));
    }
    WireStatus operator()(const msg::CaptureListRequest&) const { return {}; }
    WireStatus operator()(const msg::InputControlRequest&) const { return {}; }

    static constexpr std::uint8_t opusCodecByte = 1;
};

} // namespace

std::uint16_t ControlMessage::typeCode() const { return std::visit(TypeCodeOf{}, static_cast<const variant&>(*this)); }

WireStatus ControlMessage::encodePayload(ByteWriter& writer) const {
    return std::visit(PayloadWriter{writer}, static_cast<const variant&>(*this));
}

WireResult<Bytes> ControlMessage::encodeFrame() const {
    ByteWriter frame(static_cast<std::ptrdiff_t>(WireProtocol::controlHeaderSize + typicalPayloadBytes));
    frame.writeU16(typeCode());
    frame.writeU16(is<HostPower>() ? ControlFrameDecoder::ignorableFlag : 0);
    frame.writeU32(0); // the payload length, once it is known
    if (auto r = encodePayload(frame); !r) return std::unexpected(r.error());
    frame.patchU32(4, static_cast<std::uint32_t>(frame.size() - WireProtocol::controlHeaderSize));
    return std::move(frame).take();
}

} // namespace quillmere
