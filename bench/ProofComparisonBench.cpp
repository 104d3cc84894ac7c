// Does rejecting a proof take the same time wherever it differs? Each
// comparison runs with the difference at the first and at the last byte; the
// ratio of the two times should stay near 1 for the constant-time check. An
// early-exit loop, measured in the same run, shows what a leak looks like.
#include "QuillmereWire/EnrollmentProof.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <map>
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

// Prints, after the usual table, the last-byte to first-byte time ratio of each comparison.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char* name : {"constantTime", "earlyExit"}) {
            const double first = times_[fmt::format("{}/differAt/0", name)];
            const double last = times_[fmt::format("{}/differAt/31", name)];
            if (first > 0) fmt::print("{:>13}: time(differ at byte 31) / time(differ at byte 0) = {:.2f}\n", name,
                                      last / first);
        }
    }

private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
