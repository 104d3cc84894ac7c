// Control messages: encoding and decoding a realistic session mix, and the
// stream frame decoder, each against memcpy of the same frame bytes.

#include "MemcpyBaseline.h"
#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/Tests/RandomControlMessage.h"

#include <benchmark/benchmark.h>

namespace quillmere {
namespace {

using bench::LoopTimer;
using bench::memcpyNanosPerByte;
using bench::reportAgainstMemcpy;
using Source = testing::SeededSource;

// What a session carries: mostly input events, with receiver reports every
// interval, focus hints and pings, and now and then a stream configuration,
// capture state or host power change.
std::vector<ControlMessage> sessionMix(std::size_t count) {
    Source source(2024);
    testing::RandomControlMessage<Source> random(source);
    std::vector<ControlMessage> out;
    out.reserve(count);
    std::uint32_t seq = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto roll = source.next(0, 99);
        if (roll < 45) out.push_back(msg::Input{++seq, 3, input::PointerMove{static_cast<std::int16_t>(roll), -2}});
        else if (roll < 55) out.push_back(msg::Input{++seq, 3, input::Key{0x04, roll % 2 == 0}});
        else if (roll < 62) out.push_back(msg::Input{++seq, 3, input::Scroll{0, -120, ScrollUnit::pixel}});
        else if (roll < 65) out.push_back(msg::Input{++seq, 3, input::Text{"hello, world"}});
        else if (roll < 80) out.push_back(random.receiverReport());
        else if (roll < 85) out.push_back(msg::FocusHint{1, 500});
        else if (roll < 90) out.push_back(msg::Ping{i * 1000003});
        else if (roll < 93) out.push_back(msg::Pong{i, i * 7});
        else if (roll < 96) {
            StreamConfig config = random.streamConfig();
            config.parameterSets = {Bytes(24, 0x67), Bytes(8, 0x68)};
            out.push_back(config);
        } else if (roll < 98) out.push_back(msg::CaptureState{1, 2, CaptureStateValue::active});
        else out.push_back(HostPower{80, true});
    }
    return out;
}

struct EncodedMix {
    std::vector<ControlMessage> messages;
    std::vector<Bytes> frames;
    Bytes stream;
};

const EncodedMix& mix() {
    static const EncodedMix encoded = [] {
        EncodedMix m;
        m.messages = sessionMix(4096);
        for (const ControlMessage& message : m.messages) {
            m.frames.push_back(message.encodeFrame().value());
            m.stream.insert(m.stream.end(), m.frames.back().begin(), m.frames.back().end());
        }
        return m;
    }();
    return encoded;
}

void BM_EncodeDecodeSessionMix(benchmark::State& state) {
    const EncodedMix& m = mix();
    const double baseline = memcpyNanosPerByte(m.stream);
    LoopTimer timer;
    for (auto _ : state) {
        for (const ControlMessage& message : m.messages) {
            auto frame = message.encodeFrame();
            auto decoded = ControlMessage::decode(message.typeCode(), false, ByteView(*frame).subspan(8));
            benchmark::DoNotOptimize(decoded);
        }
    }
    reportAgainstMemcpy(state, timer.nanosPerByte(state.iterations(), m.stream.size()), baseline, m.stream.size());
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * m.messages.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeDecodeSessionMix);

void BM_EncodeSessionMix(benchmark::State& state) {
    const EncodedMix& m = mix();
    const double baseline = memcpyNanosPerByte(m.stream);
    LoopTimer timer;
    for (auto _ : state) {
        for (const ControlMessage& message : m.messages) benchmark::DoNotOptimize(message.encodeFrame());
    }
    reportAgainstMemcpy(state, timer.nanosPerByte(state.iterations(), m.stream.size()), baseline, m.stream.size());
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * m.messages.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EncodeSessionMix);

void BM_DecodeSessionMix(benchmark::State& state) {
    const EncodedMix& m = mix();
    const double baseline = memcpyNanosPerByte(m.stream);
    LoopTimer timer;
    for (auto _ : state) {
        for (std::size_t i = 0; i < m.frames.size(); ++i) {
            const Bytes& frame = m.frames[i];
            benchmark::DoNotOptimize(
                ControlMessage::decode(m.messages[i].typeCode(), false, ByteView(frame).subspan(8)));
        }
    }
    reportAgainstMemcpy(state, timer.nanosPerByte(state.iterations(), m.stream.size()), baseline, m.stream.size());
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * m.messages.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeSessionMix);

// The session mix as one stream, pushed in pieces of the given size
// (1350: a typical receive; 65536: the largest the connection hands over).
void BM_FrameDecoderSessionStream(benchmark::State& state) {
    const EncodedMix& m = mix();
    const auto piece = static_cast<std::size_t>(state.range(0));
    const double baseline = memcpyNanosPerByte(m.stream);
    LoopTimer timer;
    for (auto _ : state) {
        ControlFrameDecoder decoder;
        for (std::size_t at = 0; at < m.stream.size(); at += piece) {
            auto messages = decoder.push(ByteView(m.stream).subspan(at, std::min(piece, m.stream.size() - at)));
            benchmark::DoNotOptimize(messages);
        }
    }
    reportAgainstMemcpy(state, timer.nanosPerByte(state.iterations(), m.stream.size()), baseline, m.stream.size());
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * m.messages.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FrameDecoderSessionStream)->Arg(1350)->Arg(65536);

// One large frame (an ignorable one, so that the payload's content does not
// matter) arriving in small pieces: the cost per byte must not grow with the
// frame's size.
void BM_FrameDecoderLargeFrameInPieces(benchmark::State& state) {
    const auto frameBytes = static_cast<std::size_t>(state.range(0));
    const auto piece = static_cast<std::size_t>(state.range(1));
    Bytes stream{0x09, 0x99, 0x00, 0x01};
    const auto length = static_cast<std::uint32_t>(frameBytes);
    for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<std::uint8_t>(length >> shift));
    stream.resize(8 + frameBytes, 0x5A);
    const double baseline = memcpyNanosPerByte(stream);
    LoopTimer timer;
    for (auto _ : state) {
        ControlFrameDecoder decoder;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            auto messages = decoder.push(ByteView(stream).subspan(at, std::min(piece, stream.size() - at)));
            benchmark::DoNotOptimize(messages);
        }
    }
    const double ns = timer.nanosPerByte(state.iterations(), stream.size());
    reportAgainstMemcpy(state, ns, baseline, stream.size());
    state.counters["nsPerByte"] = ns;
}
BENCHMARK(BM_FrameDecoderLargeFrameInPieces)
    ->Args({4096, 1})
    ->Args({65536, 1})
    ->Args({4096, 64})
    ->Args({65536, 64});

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();
