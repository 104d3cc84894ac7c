// What the client session adds to frame assembly, and what the timing log
// costs as it grows. Each case is reported as a ratio against a baseline run
// in the same process:
// - a main-surface frame through ClientSession::receive (routing, statistics,
//   recovery bookkeeping, actions) against the bare FrameAssembler::ingest of
//   the same datagrams;
// - FrameTimingLog record and decode stamp at capacity 65,536 against
//   capacity 64: eviction and lookup should not depend on the capacity.
#include "QuillmereWire/ClientSession.h"
#include "QuillmereWire/FrameTimingLog.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "TestSupport/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace {

using namespace quillmere;

constexpr std::int64_t datagramSize = 1200;
constexpr std::uint32_t framesPerRound = 64;

std::vector<std::vector<SharedBytes>> roundOfFrames(std::size_t length) {
    std::mt19937 random(1);
    std::vector<std::vector<SharedBytes>> frames;
    for (std::uint32_t id = 1; id <= framesPerRound; ++id) {
        EncodedFrame frame;
        frame.surfaceID = ClientSession::mainSurfaceID;
        frame.epoch = 1;
        frame.frameID = id;
        frame.configGeneration = 1;
        frame.data.resize(length);
        for (auto& byte : frame.data) byte = static_cast<std::uint8_t>(random());
        frames.push_back(MediaFragmenter::fragment(frame, datagramSize, 0).value());
    }
    return frames;
}

AssemblyLimits limits() { return AssemblyLimits(8, 8'000'000, ~0ULL); }

StreamConfig config() { return StreamConfig{1, 1, 1, VideoCodec::h264, 1280, 720, 60, 8000, {}}; }

// Back to a fresh stream of configuration 1, as after choosing a window.
void restream(ClientSession& session) {
    session.selectWindow(7);
    session.handle(msg::CaptureState{1, 1, CaptureStateValue::active}, 0);
    session.handle(config(), 0);
}

void AssemblerBaseline(benchmark::State& state) {
    const auto frames = roundOfFrames(static_cast<std::size_t>(state.range(0)));
    FrameAssembler assembler(1, limits());
    assembler.acceptConfigGeneration(1);
    std::size_t next = 0;
    std::int64_t completed = 0;
    for (auto _ : state) {
        if (next == frames.size()) {
            state.PauseTiming();
            assembler.reset();
            next = 0;
            state.ResumeTiming();
        }
        for (const SharedBytes& datagram : frames[next]) {
            auto events = assembler.ingest(datagram, 0);
            completed += static_cast<std::int64_t>(events.size());
            benchmark::DoNotOptimize(events);
        }
        ++next;
    }
    if (completed != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("frames did not complete");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void SessionReceive(benchmark::State& state) {
    const auto frames = roundOfFrames(static_cast<std::size_t>(state.range(0)));
    ClientSession session(Hello{1, 0, PeerRole::client, {}, {}, "bench"}, Capabilities{}, limits(), 0);
    session.handle(Hello{1, 0, PeerRole::host, {}, {}, "host"}, 0);
    restream(session);
    std::size_t next = 0;
    std::int64_t delivered = 0;
    for (auto _ : state) {
        if (next == frames.size()) {
            state.PauseTiming();
            restream(session);
            next = 0;
            state.ResumeTiming();
        }
        for (const SharedBytes& datagram : frames[next]) {
            auto actions = session.receive(datagram, 0);
            delivered += static_cast<std::int64_t>(actions.size());
            benchmark::DoNotOptimize(actions);
        }
        ++next;
    }
    if (delivered != static_cast<std::int64_t>(state.iterations())) state.SkipWithError("frames were not delivered");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void TimingLog(benchmark::State& state) {
    FrameTimingLog log(state.range(0));
    AssembledFrame frame;
    frame.data.resize(16);
    std::uint32_t id = 0;
    // Start full, so that every record evicts.
    for (std::int64_t i = 0; i < state.range(0); ++i) log.record(FrameTimingRecord::from(frame, std::nullopt, 0));
    for (auto _ : state) {
        frame.frameID = ++id;
        log.record(FrameTimingRecord::from(frame, std::nullopt, 0));
        log.markDecoded(id, id);
        benchmark::DoNotOptimize(log.dropped());
    }
}

BENCHMARK(AssemblerBaseline)->Arg(1000)->Arg(50 * 1024);
BENCHMARK(SessionReceive)->Arg(1000)->Arg(50 * 1024);
BENCHMARK(TimingLog)->Arg(64)->Arg(65536);

} // namespace

int main(int argc, char** argv) {
    quillmere::testing::RatioReporter reporter("time as a multiple of the baseline (1.0 = same cost)");
    reporter.compare("SessionReceive/", "AssemblerBaseline/").compare("TimingLog/65536", "TimingLog/64");
    return reporter.run(argc, argv);
}
