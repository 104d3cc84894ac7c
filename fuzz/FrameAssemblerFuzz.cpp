// Arbitrary datagrams in any order through parity recovery and frame
// assembly. The input is a series of records: one byte of elapsed time, two
// bytes of length, then the datagram. The assembler's bounds must hold after
// every datagram and every frame it completes must have a sound shape.
#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/ParityRecovery.h"

#include <cstdlib>

using namespace quillmere;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const AssemblyLimits limits(1 + data[0] % 4, 256 + data[1] * 64, 50'000);
    ParityRecovery recovery(1 + data[0] % 3);
    FrameAssembler assembler(1, limits);
    assembler.acceptConfigGeneration(1);

    std::uint64_t nowNs = 0;
    std::size_t at = 2;
    std::int64_t completed = 0;
    std::int64_t events = 0;
    while (at + 3 <= size) {
        nowNs += std::uint64_t{data[at]} * 1000;
        const std::size_t length = std::min<std::size_t>(size - at - 3, data[at + 1] << 8 | data[at + 2]);
        const ByteView record(data + at + 3, length);
        at += 3 + length;

        for (SharedBytes& passed : recovery.ingest(SharedBytes::copyOf(record))) {
            for (const AssemblyEvent& event : assembler.ingest(std::move(passed), nowNs)) {
                ++events;
                if (const auto* complete = event.as<AssemblyEvent::Complete>()) {
                    ++completed;
                    const AssembledFrame& frame = complete->frame;
                    check(!frame.data.empty());
                    check(static_cast<std::int64_t>(frame.data.size()) <= limits.maxBytes);
                    check(frame.surfaceID == 1 && frame.configGeneration == 1);
                    check(frame.firstFragmentAtNs <= frame.completedAtNs);
                    check(assembler.lastDeliveredFrameID() == frame.frameID);
                }
            }
            check(static_cast<std::int64_t>(assembler.partialFrameCount()) <= limits.maxFramesInFlight);
            check(assembler.bytesHeld() >= 0 && assembler.bytesHeld() <= limits.maxBytes);
            check(assembler.partialFrameCount() > 0 || assembler.bytesHeld() == 0);
        }
        check(static_cast<std::int64_t>(recovery.frameCount()) <= recovery.maxFrames());
    }
    const AssemblyCounters& counters = assembler.counters();
    check(counters.completed == completed);
    check(counters.completed + counters.lost + counters.rejected == events);
    return 0;
}
