#pragma once

// Valid control messages of every case, drawn from a source of numbers, with
// values pushed towards the edges of each field's rule. Shared by the
// round-trip tests, the round-trip fuzz target and the benchmarks.

#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireProtocol.h"

#include <array>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <variant>

namespace quillmere::testing {

// Source: anything with std::uint64_t next(std::uint64_t low, std::uint64_t high), both inclusive.
template <class Source>
class RandomControlMessage {
public:
    static constexpr std::size_t caseCount = std::variant_size_v<ControlMessage::variant>;
    static constexpr std::size_t ignoredIndex = 31;

    explicit RandomControlMessage(Source& source) : source_(source) {}

    // Any case but ignored, which is never sent.
    ControlMessage any() {
        std::size_t index = static_cast<std::size_t>(source_.next(0, caseCount - 2));
        if (index >= ignoredIndex) ++index;
        return make(index);
    }

    // Precondition: index names a case other than ignored.
    ControlMessage make(std::size_t index) {
        switch (index) {
        case 0: return Hello{num<std::uint16_t>(), num<std::uint16_t>(), pick(PeerRole::host, PeerRole::client),
                             id<WireID>(), id<WireID>(), text(WireProtocol::maxNameBytes, true)};
        case 1: {
            Capabilities c;
            c.codecs = CodecSet{static_cast<std::uint32_t>(in(0, 3))};
            c.maxWidth = static_cast<std::uint16_t>(in(1, 8192));
            c.maxHeight = static_cast<std::uint16_t>(in(1, 8192));
            c.maxFPS = static_cast<std::uint16_t>(in(1, 240));
            c.maxSurfaces = static_cast<std::uint8_t>(in(1, 16));
            c.features = FeatureSet{static_cast<std::uint32_t>(in(0, 0x1FF))};
            c.maxDatagram = static_cast<std::uint16_t>(in(64, 0xFFFF));
            return c;
        }
        case 2: return msg::Error{enumIn<ErrorCode>(1, 9), text(ControlMessage::maxErrorReasonBytes, true)};
        case 3: return streamConfig();
        case 4: return msg::ConfigAck{num<std::uint32_t>(), num<std::uint32_t>()};
        case 5: return msg::StartStream{num<std::uint32_t>()};
        case 6: return msg::StopStream{num<std::uint32_t>(), enumIn<StopReason>(0, 4)};
        case 7: return msg::RecoveryRequest{num<std::uint32_t>(), num<std::uint32_t>(), num<std::uint32_t>(),
                                            enumIn<RecoveryReason>(1, 4)};
        case 8: return receiverReport();
        case 9: {
            msg::CaptureList list;
            const auto count = in(0, ControlMessage::maxCaptureWindows);
            for (std::uint64_t i = 0; i < count; ++i)
                list.windows.push_back(CaptureWindow{num<std::uint32_t>(), text(CaptureWindow::maxTitleBytes, true),
                                                     text(CaptureWindow::maxAppBytes, true), num<std::uint16_t>(),
                                                     num<std::uint16_t>()});
            return list;
        }
        case 10: return msg::CaptureSelect{static_cast<std::uint32_t>(in(1, 0xFFFFFFFF)), num<std::uint32_t>()};
        case 11: return msg::CaptureState{num<std::uint32_t>(), num<std::uint32_t>(), enumIn<CaptureStateValue>(0, 4)};
        case 12: return msg::Pause{num<std::uint32_t>(), in(0, 1) == 1};
        case 13: return msg::Ping{num<std::uint64_t>()};
        case 14: return msg::Pong{num<std::uint64_t>(), num<std::uint64_t>()};
        case 15: return msg::Bye{enumIn<ByeReason>(0, 4)};
        case 16: return msg::EnrollRequest{id<WireID>(), id<Digest32>(), text(WireProtocol::maxNameBytes, true)};
        case 17: return msg::EnrollPending{id<WireID>()};
        case 18: return msg::EnrollResult{id<WireID>(), enumIn<EnrollmentOutcome>(0, 5), id<Digest32>()};
        case 19: return msg::InputControlState{num<std::uint32_t>(), enumIn<InputControlStateValue>(0, 4),
                                               num<std::uint16_t>()};
        case 20: return msg::Input{num<std::uint32_t>(), num<std::uint32_t>(), inputEvent()};
        case 21: return msg::ClipboardPush{num<std::uint32_t>(), nonEmptyText(WireProtocol::maxClipboardBytes, true)};
        case 22: return msg::ClipboardPull{num<std::uint32_t>()};
        case 23: return msg::ClipboardResult{num<std::uint32_t>(), enumIn<ClipboardOutcome>(0, 5)};
        case 24: return msg::AudioConfig{num<std::uint32_t>(), 48000, static_cast<std::uint8_t>(in(1, 2)),
                                         static_cast<std::uint8_t>(in(0, 1) == 0 ? 10 : 20)};
        case 25: return msg::FocusHint{static_cast<std::uint32_t>(in(1, 0xFFFFFFFF)), num<std::uint16_t>()};
        case 26: return msg::SurfaceBudget{static_cast<std::uint32_t>(in(1, 0xFFFFFFFF)),
                                           static_cast<std::uint16_t>(in(64, 8192)),
                                           static_cast<std::uint16_t>(in(64, 8192))};
        case 27: return msg::TextSize{static_cast<std::uint8_t>(in(0, WireProtocol::maxTextSizeLevel))};
        case 28: return msg::ScreenShape{static_cast<std::uint8_t>(in(0, WireProtocol::maxScreenShape))};
        case 29: return CursorShape{num<std::uint16_t>(), num<std::uint16_t>(),
                                    static_cast<std::uint16_t>(in(1, CursorShape::maxPointHeight)),
                                    blob(1, in(0, 7) == 0 ? CursorShape::maxPNGBytes : 600)};
        case 30: return HostPower{static_cast<std::uint8_t>(in(0, 100)), in(0, 1) == 1};
        case 32: return msg::CaptureListRequest{};
        default: return msg::InputControlRequest{};
        }
    }

    InputEvent inputEvent() {
        switch (source_.next(0, 7)) {
        case 0: return input::Key{num<std::uint16_t>(), in(0, 1) == 1};
        case 1: return input::PointerMove{signed16(), signed16()};
        case 2: return input::PointerAbsolute{num<std::uint16_t>(), num<std::uint16_t>()};
        case 3: return input::Button{enumIn<InputButton>(1, 5), in(0, 1) == 1};
        case 4: return input::Scroll{signed16(), signed16(), enumIn<ScrollUnit>(0, 1)};
        case 5: return input::Text{nonEmptyText(InputEvent::maxTextBytes, false)};
        case 6: return input::Renew{};
        default: return input::Release{};
        }
    }

    StreamConfig streamConfig() {
        StreamConfig s;
        s.surfaceID = static_cast<std::uint32_t>(in(1, 0xFFFFFFFF));
        s.configGeneration = num<std::uint32_t>();
        s.epoch = num<std::uint32_t>();
        s.codec = pick(VideoCodec::h264, VideoCodec::hevc);
        s.width = static_cast<std::uint16_t>(in(1, 8192));
        s.height = static_cast<std::uint16_t>(in(1, 8192));
        s.fps = static_cast<std::uint16_t>(in(1, 240));
        s.bitrateKbps = static_cast<std::uint32_t>(in(0, 500000));
        const auto count = in(1, StreamConfig::maxParameterSets);
        for (std::uint64_t i = 0; i < count; ++i) s.parameterSets.push_back(blob(1, StreamConfig::maxParameterSetBytes));
        return s;
    }

    ReceiverReport receiverReport() {
        return ReceiverReport{num<std::uint32_t>(), static_cast<std::uint16_t>(in(1, 10000)),
                              num<std::uint32_t>(), num<std::uint32_t>(), num<std::uint32_t>(),
                              num<std::uint32_t>(), num<std::uint32_t>(), num<std::uint16_t>(),
                              num<std::uint16_t>(), num<std::uint8_t>(), static_cast<std::uint8_t>(in(0, 3))};
    }

    // Well-formed UTF-8 of at most maxBytes, mixing 1- to 4-byte scalars;
    // control characters only where the field allows them.
    std::string text(std::size_t maxBytes, bool controlsAllowed) {
        static constexpr const char* scalars[] = {"a", "Z", " ", "\t", "\n", "\xC3\xA9", "\xE2\x82\xAC",
                                                  "\xF0\x9F\x98\x80", "\xEF\xBF\xBF", "\r", "\0", "\x7F"};
        const std::size_t usable = controlsAllowed ? std::size(scalars) : 9;
        const std::size_t target = static_cast<std::size_t>(in(0, maxBytes));
        std::string out;
        while (out.size() < target) {
            const std::size_t which = static_cast<std::size_t>(source_.next(0, usable - 1));
            const std::size_t length = which == 10 ? 1 : std::char_traits<char>::length(scalars[which]);
            if (out.size() + length > maxBytes) break;
            out.append(scalars[which], length);
        }
        return out;
    }

    std::string nonEmptyText(std::size_t maxBytes, bool controlsAllowed) {
        std::string out = text(maxBytes, controlsAllowed);
        if (out.empty()) out = "x";
        return out;
    }

    Bytes blob(std::size_t minBytes, std::size_t maxBytes) {
        Bytes out(static_cast<std::size_t>(in(minBytes, maxBytes)));
        for (auto& b : out) b = static_cast<std::uint8_t>(source_.next(0, 255));
        return out;
    }

private:
    // Uniform, with each bound drawn more often than its share.
    std::uint64_t in(std::uint64_t low, std::uint64_t high) {
        switch (source_.next(0, 7)) {
        case 0: return low;
        case 1: return high;
        default: return source_.next(low, high);
        }
    }

    template <class T>
    T num() {
        return static_cast<T>(in(0, static_cast<std::uint64_t>(static_cast<T>(~T{}))));
    }

    std::int16_t signed16() { return static_cast<std::int16_t>(num<std::uint16_t>()); }

    template <class E>
    E enumIn(std::uint64_t first, std::uint64_t last) {
        return static_cast<E>(in(first, last));
    }

    template <class E>
    E pick(E a, E b) {
        return source_.next(0, 1) == 0 ? a : b;
    }

    template <class Identifier>
    Identifier id() {
        std::array<std::uint8_t, Identifier::byteCount> bytes{};
        for (auto& b : bytes) b = static_cast<std::uint8_t>(source_.next(0, 255));
        return Identifier(bytes);
    }

    Source& source_;
};

// A seeded pseudo-random source for tests and benchmarks.
class SeededSource {
public:
    explicit SeededSource(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t next(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(engine_);
    }

private:
    std::mt19937_64 engine_;
};

} // namespace quillmere::testing
