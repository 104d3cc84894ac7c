// Does rejecting a proof take the same time wherever it differs? Each
// comparison runs with the difference at the first and at the last byte; the
// ratio of the two times should stay near 1 for the constant-time check. An
// early-exit loop, measured in the same run, shows what a leak looks like.
#include "QuillmereWire/EnrollmentProof.h"
#include "TestSupport/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using quillmere::Digest32;

Digest32 differingAt(const Digest32& base, std::size_t index) {
    auto raw = base.bytes();
    raw[index] ^= 0x5A;
    return Digest32(raw);
}

Digest32 sample() {
    std::array<std::uint8_t, 32> raw{};
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 29 + 7);
    return Digest32(raw);
}

bool earlyExitEquals(const Digest32& a, const Digest32& b) {
    for (std::size_t i = 0; i < Digest32::byteCount; ++i) {
        if (a.bytes()[i] != b.bytes()[i]) return false;
    }
    return true;
}

// Many proofs per iteration so that one comparison is not lost in the loop overhead.
template <bool (*Compare)(const Digest32&, const Digest32&)>
void compareAt(benchmark::State& state) {
    const Digest32 expected = sample();
    std::vector<Digest32> received(256, differingAt(expected, static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        int matches = 0;
        for (const Digest32& proof : received) {
            benchmark::DoNotOptimize(&proof);
            matches += Compare(proof, expected) ? 1 : 0;
        }
        benchmark::DoNotOptimize(matches);
    }
}

BENCHMARK(compareAt<quillmere::EnrollmentProof::matches>)->Name("constantTime/differAt")->Arg(0)->Arg(31);
BENCHMARK(compareAt<earlyExitEquals>)->Name("earlyExit/differAt")->Arg(0)->Arg(31);

} // namespace

int main(int argc, char** argv) {
    quillmere::testing::RatioReporter reporter(
        "time when byte 31 differs as a multiple of the time when byte 0 does (1.0 = no early exit)");
    reporter.compare("constantTime/differAt/31", "constantTime/differAt/0")
        .compare("earlyExit/differAt/31", "earlyExit/differAt/0");
    return reporter.run(argc, argv);
}
