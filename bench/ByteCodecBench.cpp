// The byte codec on its own: a stream of short strings and integers read with
// ByteReader and written again with ByteWriter, against memcpy of the same bytes.

#include "MemcpyBaseline.h"
#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/ByteWriter.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace quillmere {
namespace {

using bench::LoopTimer;
using bench::memcpyNanosPerByte;
using bench::reportAgainstMemcpy;

// Records shaped like the control vocabulary's: an identifier, a name of 4 to
// 40 bytes, a 16-bit size, a timestamp and a flag byte.
constexpr std::size_t recordCount = 2048;
constexpr std::size_t maxNameBytes = 64;

Bytes recordStream() {
    std::mt19937 engine(7);
    std::uniform_int_distribution<int> length(4, 40), letter('a', 'z');
    ByteWriter writer;
    for (std::size_t i = 0; i < recordCount; ++i) {
        std::string name(static_cast<std::size_t>(length(engine)), ' ');
        for (char& c : name) c = static_cast<char>(letter(engine));
        writer.writeU32(static_cast<std::uint32_t>(i * 2654435761u));
        writer.writeShortString(name);
        writer.writeU16(static_cast<std::uint16_t>(i));
        writer.writeU64(i * 1000000007ull);
        writer.writeU8(static_cast<std::uint8_t>(i & 1));
    }
    return std::move(writer).take();
}

void BM_ReadAndRewriteRecords(benchmark::State& state) {
    const Bytes input = recordStream();
    const double baseline = memcpyNanosPerByte(input);
    LoopTimer timer;
    for (auto _ : state) {
        ByteReader reader(viewOf(input));
        ByteWriter writer(static_cast<std::ptrdiff_t>(input.size()));
        while (reader.remaining() > 0) {
            writer.writeU32(reader.readU32().value());
            writer.writeShortString(reader.readShortString(maxNameBytes, "record.name").value());
            writer.writeU16(reader.readU16().value());
            writer.writeU64(reader.readU64().value());
            writer.writeU8(reader.readU8().value());
        }
        benchmark::DoNotOptimize(writer.bytes().data());
        if (writer.size() != input.size()) state.SkipWithError("re-encoded stream differs in size");
    }
    reportAgainstMemcpy(state, timer.nanosPerByte(state.iterations(), input.size()), baseline, input.size());
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * recordCount), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadAndRewriteRecords);

} // namespace
} // namespace quillmere

BENCHMARK_MAIN();
