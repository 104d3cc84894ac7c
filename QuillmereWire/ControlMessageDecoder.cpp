#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/ControlMessageType.h"
#include "QuillmereWire/ControlMessageValidation.h"
#include "QuillmereWire/WireProtocol.h"
#include "QuillmereWire/WireText.h"

// Each field read or rule can end the decoding; these keep the layouts
// readable as the field lists they are.

#define QM_READ(name, expression)                                              \
    auto name##Result = (expression);                                          \
    if (!name##Result) return std::unexpected(std::move(name##Result).error()); \
    auto name = std::move(*name##Result)

#define QM_CHECK(expression)                                                   \
    do {                                                                       \
        if (auto status = (expression); !status) return std::unexpected(status.error()); \
    } while (false)

namespace quillmere {

namespace {

using Type = ControlMessageType;
using Result = WireResult<ControlMessage>;

template <class E>
WireResult<E> readEnum(ByteReader& r, std::string_view field) {
    if constexpr (sizeof(E) == 2) {
        QM_READ(raw, r.readU16());
        return decodeEnum<E>(raw, field);
    } else {
        QM_READ(raw, r.readU8());
        return decodeEnum<E>(raw, field);
    }
}

template <class Identifier>
WireResult<Identifier> readIdentifier(ByteReader& r) {
    QM_READ(bytes, r.take(static_cast<std::ptrdiff_t>(Identifier::byteCount)));
    return Identifier::fromBytes(bytes);
}

WireResult<std::int16_t> readI16(ByteReader& r) {
    QM_READ(raw, r.readU16());
    return static_cast<std::int16_t>(raw);
}

Result decodeHello(ByteReader& r) {
    QM_READ(major, r.readU16());
    QM_READ(minor, r.readU16());
    QM_READ(role, readEnum<PeerRole>(r, "hello.role"));
    QM_READ(deviceID, readIdentifier<WireID>(r));
    QM_READ(sessionNonce, readIdentifier<WireID>(r));
    QM_READ(name, r.readShortString(WireProtocol::maxNameBytes, "hello.name"));
    return Hello{major, minor, role, deviceID, sessionNonce, std::move(name)};
}

Result decodeCapabilities(ByteReader& r) {
    Capabilities c;
    QM_READ(codecs, r.readU32());
    QM_READ(maxWidth, r.readU16());
    QM_READ(maxHeight, r.readU16());
    QM_READ(maxFPS, r.readU16());
    QM_READ(maxSurfaces, r.readU8());
    QM_READ(features, r.readU32());
    QM_READ(maxDatagram, r.readU16());
    c.codecs = CodecSet{codecs};
    c.maxWidth = maxWidth;
    c.maxHeight = maxHeight;
    c.maxFPS = maxFPS;
    c.maxSurfaces = maxSurfaces;
    c.features = FeatureSet{features};
    c.maxDatagram = maxDatagram;
    QM_CHECK(validate(c));
    return c;
}

Result decodeError(ByteReader& r) {
    QM_READ(code, readEnum<ErrorCode>(r, "error.code"));
    QM_READ(reason, r.readShortString(ControlMessage::maxErrorReasonBytes, "error.reason"));
    return msg::Error{code, std::move(reason)};
}

Result decodeStreamConfig(ByteReader& r) {
    StreamConfig s;
    QM_READ(surfaceID, r.readU32());
    QM_READ(configGeneration, r.readU32());
    QM_READ(epoch, r.readU32());
    QM_READ(codec, readEnum<VideoCodec>(r, "streamConfig.codec"));
    QM_READ(width, r.readU16());
    QM_READ(height, r.readU16());
    QM_READ(fps, r.readU16());
    QM_READ(bitrateKbps, r.readU32());
    QM_READ(count, r.readU8());
    QM_CHECK(require(count >= 1 && count <= StreamConfig::maxParameterSets, "streamConfig.parameterSetCount"));
    s.parameterSets.reserve(count);
    for (std::uint8_t i = 0; i < count; ++i) {
        QM_READ(length, r.readU16());
        QM_CHECK(require(length >= 1 && length <= StreamConfig::maxParameterSetBytes, "streamConfig.parameterSet"));
        QM_READ(set, r.readBytes(length));
        s.parameterSets.push_back(std::move(set));
    }
    s.surfaceID = surfaceID;
    s.configGeneration = configGeneration;
    s.epoch = epoch;
    s.codec = codec;
    s.width = width;
    s.height = height;
    s.fps = fps;
    s.bitrateKbps = bitrateKbps;
    QM_CHECK(validate(s));
    return s;
}

Result decodeConfigAck(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(configGeneration, r.readU32());
    return msg::ConfigAck{surfaceID, configGeneration};
}

Result decodeStartStream(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    return msg::StartStream{surfaceID};
}

Result decodeStopStream(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(reason, readEnum<StopReason>(r, "stopStream.reason"));
    return msg::StopStream{surfaceID, reason};
}

Result decodeRecoveryRequest(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(epoch, r.readU32());
    QM_READ(lastCompleteFrameID, r.readU32());
    QM_READ(reason, readEnum<RecoveryReason>(r, "recoveryRequest.reason"));
    return msg::RecoveryRequest{surfaceID, epoch, lastCompleteFrameID, reason};
}

Result decodeReceiverReport(ByteReader& r) {
    ReceiverReport report;
    QM_READ(surfaceID, r.readU32());
    QM_READ(intervalMs, r.readU16());
    QM_READ(framesReceived, r.readU32());
    QM_READ(framesLost, r.readU32());
    QM_READ(framesLate, r.readU32());
    QM_READ(framesDecoded, r.readU32());
    QM_READ(decodeErrors, r.readU32());
    QM_READ(maxAssemblyAgeMs, r.readU16());
    QM_READ(displayedFPSCenti, r.readU16());
    QM_READ(decodeQueueDepth, r.readU8());
    QM_READ(thermalState, r.readU8());
    report = ReceiverReport{surfaceID,     intervalMs,       framesReceived,    framesLost,
                            framesLate,    framesDecoded,    decodeErrors,      maxAssemblyAgeMs,
                            displayedFPSCenti, decodeQueueDepth, thermalState};
    QM_CHECK(validate(report));
    return report;
}

Result decodeCaptureList(ByteReader& r) {
    QM_READ(count, r.readU16());
    QM_CHECK(require(count <= ControlMessage::maxCaptureWindows, "captureList.count"));
    msg::CaptureList list;
    list.windows.reserve(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        QM_READ(windowID, r.readU32());
        QM_READ(title, r.readShortString(CaptureWindow::maxTitleBytes, "captureList.title"));
        QM_READ(app, r.readShortString(CaptureWindow::maxAppBytes, "captureList.app"));
        QM_READ(width, r.readU16());
        QM_READ(height, r.readU16());
        list.windows.push_back(CaptureWindow{windowID, std::move(title), std::move(app), width, height});
    }
    return list;
}

Result decodeCaptureSelect(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_CHECK(require(surfaceID != 0, "captureSelect.surfaceID"));
    QM_READ(windowID, r.readU32());
    return msg::CaptureSelect{surfaceID, windowID};
}

Result decodeCaptureState(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(captureGeneration, r.readU32());
    QM_READ(state, readEnum<CaptureStateValue>(r, "captureState.state"));
    return msg::CaptureState{surfaceID, captureGeneration, state};
}

Result decodePause(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(paused, r.readBool());
    return msg::Pause{surfaceID, paused};
}

Result decodePing(ByteReader& r) {
    QM_READ(senderTimeNs, r.readU64());
    return msg::Ping{senderTimeNs};
}

Result decodePong(ByteReader& r) {
    QM_READ(echoedTimeNs, r.readU64());
    QM_READ(responderTimeNs, r.readU64());
    return msg::Pong{echoedTimeNs, responderTimeNs};
}

Result decodeBye(ByteReader& r) {
    QM_READ(reason, readEnum<ByeReason>(r, "bye.reason"));
    return msg::Bye{reason};
}

Result decodeEnrollRequest(ByteReader& r) {
    QM_READ(invitationID, readIdentifier<WireID>(r));
    QM_READ(proof, readIdentifier<Digest32>(r));
    QM_READ(deviceName, r.readShortString(WireProtocol::maxNameBytes, "enrollRequest.deviceName"));
    return msg::EnrollRequest{invitationID, proof, std::move(deviceName)};
}

Result decodeEnrollPending(ByteReader& r) {
    QM_READ(invitationID, readIdentifier<WireID>(r));
    return msg::EnrollPending{invitationID};
}

Result decodeEnrollResult(ByteReader& r) {
    QM_READ(invitationID, readIdentifier<WireID>(r));
    QM_READ(outcome, readEnum<EnrollmentOutcome>(r, "enrollResult.outcome"));
    QM_READ(hostProof, readIdentifier<Digest32>(r));
    return msg::EnrollResult{invitationID, outcome, hostProof};
}

Result decodeInputControlState(ByteReader& r) {
    QM_READ(generation, r.readU32());
    QM_READ(state, readEnum<InputControlStateValue>(r, "inputControlState.state"));
    QM_READ(leaseMs, r.readU16());
    return msg::InputControlState{generation, state, leaseMs};
}

WireResult<InputEvent> decodeInputEvent(Type type, ByteReader& r) {
    switch (type) {
    case Type::inputKey: {
        QM_READ(usage, r.readU16());
        QM_READ(down, r.readBool());
        return input::Key{usage, down};
    }
    case Type::inputPointerMove: {
        QM_READ(dx, readI16(r));
        QM_READ(dy, readI16(r));
        return input::PointerMove{dx, dy};
    }
    case Type::inputPointerAbsolute: {
        QM_READ(x, r.readU16());
        QM_READ(y, r.readU16());
        return input::PointerAbsolute{x, y};
    }
    case Type::inputButton: {
        QM_READ(button, readEnum<InputButton>(r, "input.button"));
        QM_READ(down, r.readBool());
        return input::Button{button, down};
    }
    case Type::inputScroll: {
        QM_READ(dx, readI16(r));
        QM_READ(dy, readI16(r));
        QM_READ(unit, readEnum<ScrollUnit>(r, "input.scrollUnit"));
        return input::Scroll{dx, dy, unit};
    }
    case Type::inputText: {
        QM_READ(text, r.readShortString(InputEvent::maxTextBytes, "input.text"));
        QM_CHECK(validateInputText(text));
        return input::Text{std::move(text)};
    }
    case Type::inputRenew: return input::Renew{};
    default: return input::Release{};
    }
}

Result decodeInput(Type type, ByteReader& r) {
    QM_READ(seq, r.readU32());
    QM_READ(generation, r.readU32());
    QM_READ(event, decodeInputEvent(type, r));
    return msg::Input{seq, generation, std::move(event)};
}

Result decodeClipboardPush(ByteReader& r) {
    QM_READ(requestID, r.readU32());
    QM_READ(length, r.readU16());
    QM_CHECK(require(length >= 1 && length <= WireProtocol::maxClipboardBytes, "clipboard.text"));
    QM_READ(raw, r.take(length));
    auto text = decodeUTF8(raw);
    if (!text) return std::unexpected(WireError::invalidString());
    return msg::ClipboardPush{requestID, std::move(*text)};
}

Result decodeClipboardPull(ByteReader& r) {
    QM_READ(requestID, r.readU32());
    return msg::ClipboardPull{requestID};
}

Result decodeClipboardResult(ByteReader& r) {
    QM_READ(requestID, r.readU32());
    QM_READ(outcome, readEnum<ClipboardOutcome>(r, "clipboard.outcome"));
    return msg::ClipboardResult{requestID, outcome};
}

Result decodeAudioConfig(ByteReader& r) {
    QM_READ(generation, r.readU32());
    QM_READ(codec, r.readU8());
    // Opus is the only audio codec; the error names no byte value.
    if (codec != 1) return std::unexpected(WireError::unknownValue("audioConfig.codec", 0));
    QM_READ(sampleRate, r.readU32());
    QM_READ(channels, r.readU8());
    QM_READ(frameMs, r.readU8());
    QM_CHECK(validateAudioConfig(sampleRate, channels, frameMs));
    return msg::AudioConfig{generation, sampleRate, channels, frameMs};
}

Result decodeFocusHint(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_CHECK(require(surfaceID != 0, "focusHint.surfaceID"));
    QM_READ(ttlMs, r.readU16());
    return msg::FocusHint{surfaceID, ttlMs};
}

Result decodeSurfaceBudget(ByteReader& r) {
    QM_READ(surfaceID, r.readU32());
    QM_READ(maxWidth, r.readU16());
    QM_READ(maxHeight, r.readU16());
    QM_CHECK(validateSurfaceBudget(surfaceID, maxWidth, maxHeight));
    return msg::SurfaceBudget{surfaceID, maxWidth, maxHeight};
}

Result decodeTextSize(ByteReader& r) {
    QM_READ(level, r.readU8());
    QM_CHECK(require(level <= WireProtocol::maxTextSizeLevel, "textSize.level"));
    return msg::TextSize{level};
}

Result decodeScreenShape(ByteReader& r) {
    QM_READ(shape, r.readU8());
    QM_CHECK(require(shape <= WireProtocol::maxScreenShape, "screenShape.shape"));
    return msg::ScreenShape{shape};
}

Result decodeCursorShape(ByteReader& r) {
    QM_READ(hotspotX, r.readU16());
    QM_READ(hotspotY, r.readU16());
    QM_READ(pointHeight, r.readU16());
    QM_READ(length, r.readU16());
    QM_CHECK(require(length >= 1 && length <= CursorShape::maxPNGBytes, "cursorShape.png"));
    QM_READ(png, r.readBytes(length));
    CursorShape shape{hotspotX, hotspotY, pointHeight, std::move(png)};
    QM_CHECK(validate(shape));
    return shape;
}

Result decodeHostPower(ByteReader& r) {
    QM_READ(percent, r.readU8());
    QM_READ(charging, r.readU8());
    QM_CHECK(require(percent <= 100, "hostPower.percent"));
    QM_CHECK(require(charging <= 1, "hostPower.charging"));
    return HostPower{percent, charging == 1};
}

Result decodeKnown(Type type, ByteReader& r) {
    switch (type) {
    case Type::hello: return decodeHello(r);
    case Type::capabilities: return decodeCapabilities(r);
    case Type::error: return decodeError(r);
    case Type::streamConfig: return decodeStreamConfig(r);
    case Type::configAck: return decodeConfigAck(r);
    case Type::startStream: return decodeStartStream(r);
    case Type::stopStream: return decodeStopStream(r);
    case Type::recoveryRequest: return decodeRecoveryRequest(r);
    case Type::receiverReport: return decodeReceiverReport(r);
    case Type::captureListRequest: return msg::CaptureListRequest{};
    case Type::captureList: return decodeCaptureList(r);
    case Type::captureSelect: return decodeCaptureSelect(r);
    case Type::captureState: return decodeCaptureState(r);
    case Type::pause: return decodePause(r);
    case Type::ping: return decodePing(r);
    case Type::pong: return decodePong(r);
    case Type::bye: return decodeBye(r);
    case Type::enrollRequest: return decodeEnrollRequest(r);
    case Type::enrollPending: return decodeEnrollPending(r);
    case Type::enrollResult: return decodeEnrollResult(r);
    case Type::inputControlRequest: return msg::InputControlRequest{};
    case Type::inputControlState: return decodeInputControlState(r);
    case Type::inputKey:
    case Type::inputPointerMove:
    case Type::inputPointerAbsolute:
    case Type::inputButton:
    case Type::inputScroll:
    case Type::inputText:
    case Type::inputRenew:
    case Type::inputRelease: return decodeInput(type, r);
    case Type::clipboardPush: return decodeClipboardPush(r);
    case Type::clipboardPull: return decodeClipboardPull(r);
    case Type::clipboardResult: return decodeClipboardResult(r);
    case Type::audioConfig: return decodeAudioConfig(r);
    case Type::focusHint: return decodeFocusHint(r);
    case Type::surfaceBudget: return decodeSurfaceBudget(r);
    case Type::textSize: return decodeTextSize(r);
    case Type::cursorShape: return decodeCursorShape(r);
    case Type::screenShape: return decodeScreenShape(r);
    case Type::hostPower: return decodeHostPower(r);
    }
    return std::unexpected(WireError::unsupportedMessage(static_cast<std::uint16_t>(type)));
}

} // namespace

WireResult<ControlMessage> ControlMessage::decode(std::uint16_t type, bool ignorable, ByteView payload) {
    if (!isKnownControlMessageType(type)) {
        if (ignorable) return msg::Ignored{type};
        return std::unexpected(WireError::unsupportedMessage(type));
    }
    ByteReader reader(payload);
    Result message = decodeKnown(static_cast<Type>(type), reader);
    if (!message) return message;
    QM_CHECK(reader.expectEnd());
    return message;
}

} // namespace quillmere

#undef QM_READ
#undef QM_CHECK
