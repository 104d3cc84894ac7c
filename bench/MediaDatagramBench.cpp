// Media datagram path against memcpy of the same bytes, measured in the same
// run: fragmenting a frame into 1200-byte datagrams, assembling them back (in
// order and shuffled), both together, and parity over groups of 8. After the
// runs a table gives each one's speed as a fraction of memcpy's.
#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/ParityFEC.h"
#include "TestSupport/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <malloc.h>
#include <cstring>
#include <random>
#include <string>

namespace {

using namespace quillmere;

constexpr std::int64_t datagramSize = 1200;
constexpr std::uint32_t surface = 1;

EncodedFrame frameOf(std::size_t length) {
    EncodedFrame frame;
    frame.surfaceID = surface;
    frame.epoch = 1;
    frame.frameID = 1;
    frame.configGeneration = 1;
    frame.flags = MediaHeader::Flags::keyframe;
    frame.data.resize(length);
    std::mt19937 random(1);
    for (auto& byte : frame.data) byte = static_cast<std::uint8_t>(random());
    return frame;
}

std::vector<SharedBytes> datagramsOf(const EncodedFrame& frame, bool shuffled) {
    std::vector<SharedBytes> out = MediaFragmenter::fragment(frame, datagramSize, 0).value();
    if (shuffled) std::shuffle(out.begin(), out.end(), std::mt19937(2));
    return out;
}

FrameAssembler assemblerFor(const EncodedFrame& frame) {
    FrameAssembler assembler(surface, AssemblyLimits(4, static_cast<std::int64_t>(frame.data.size()) * 2, ~0ULL));
    assembler.acceptConfigGeneration(frame.configGeneration);
    return assembler;
}

void Memcpy(benchmark::State& state) {
    const EncodedFrame frame = frameOf(static_cast<std::size_t>(state.range(0)));
    Bytes target(frame.data.size());
    for (auto _ : state) {
        std::memcpy(target.data(), frame.data.data(), frame.data.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Fragment(benchmark::State& state) {
    const EncodedFrame frame = frameOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto datagrams = MediaFragmenter::fragment(frame, datagramSize, 0);
        benchmark::DoNotOptimize(datagrams);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void assemble(benchmark::State& state, bool shuffled) {
    const EncodedFrame frame = frameOf(static_cast<std::size_t>(state.range(0)));
    const std::vector<SharedBytes> datagrams = datagramsOf(frame, shuffled);
    FrameAssembler assembler = assemblerFor(frame);
    benchmark::IterationCount completed = 0;
    for (auto _ : state) {
        assembler.reset();
        for (const SharedBytes& datagram : datagrams) {
            auto events = assembler.ingest(datagram, 0);
            completed += static_cast<benchmark::IterationCount>(events.size());
            benchmark::DoNotOptimize(events);
        }
    }
    if (completed != state.iterations()) state.SkipWithError("frames did not complete");
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void AssembleInOrder(benchmark::State& state) { assemble(state, false); }
void AssembleShuffled(benchmark::State& state) { assemble(state, true); }

void FragmentAndAssemble(benchmark::State& state) {
    const EncodedFrame frame = frameOf(static_cast<std::size_t>(state.range(0)));
    FrameAssembler assembler = assemblerFor(frame);
    for (auto _ : state) {
        assembler.reset();
        std::vector<SharedBytes> datagrams = MediaFragmenter::fragment(frame, datagramSize, 0).value();
        for (SharedBytes& datagram : datagrams) {
            auto events = assembler.ingest(std::move(datagram), 0);
            benchmark::DoNotOptimize(events);
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void ParityOfEight(benchmark::State& state) {
    const EncodedFrame frame = frameOf(static_cast<std::size_t>(state.range(0)));
    // Cut 5 bytes short so that each group's parity fits the datagram size.
    const std::vector<SharedBytes> fragments = MediaFragmenter::fragment(frame, datagramSize - 5, 0).value();
    for (auto _ : state) {
        auto parities = ParityFEC::parity(fragments, 8, datagramSize);
        benchmark::DoNotOptimize(parities);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(50 * 1024)->Arg(100 * 1024)->Arg(1024 * 1024);
}

BENCHMARK(Memcpy)->Apply(sizes);
BENCHMARK(Fragment)->Apply(sizes);
BENCHMARK(AssembleInOrder)->Apply(sizes);
BENCHMARK(AssembleShuffled)->Apply(sizes);
BENCHMARK(FragmentAndAssemble)->Apply(sizes);
BENCHMARK(ParityOfEight)->Apply(sizes);

} // namespace

int main(int argc, char** argv) {
    // Keep freed megabyte buffers in the heap: otherwise glibc hands them back
    // to the kernel after every frame and the 1 MB runs measure page faults.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    quillmere::testing::RatioReporter reporter(
        "speed as a fraction of memcpy of the same bytes (1.0 = as fast as memcpy)", "bytes_per_second");
    for (const char* name : {"Fragment/", "AssembleInOrder/", "AssembleShuffled/", "FragmentAndAssemble/", "ParityOfEight/"})
        reporter.compare(name, "Memcpy/");
    return reporter.run(argc, argv);
}
