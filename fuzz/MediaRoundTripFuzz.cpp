// Real frames, cut and protected by parity, then lost, duplicated, reordered
// and damaged as the input says, on their way through recovery and assembly.
// No frame may come out different from the one sent unless a datagram of it
// was damaged on the way, nor twice unless damage renumbered a datagram:
// renumbered frames can walk around the circle until an old number counts
// as newer again (real datagrams are authenticated and never do).
#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/ParityFEC.h"
#include "QuillmereWire/ParityRecovery.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <set>

using namespace quillmere;

namespace {

using FrameKey = std::pair<std::uint32_t, std::uint32_t>; // epoch, frame

std::optional<FrameKey> keyOf(const Bytes& datagram) {
    auto decoded = MediaDatagram::decode(viewOf(datagram));
    if (!decoded) return std::nullopt;
    return FrameKey{decoded->header.epoch, decoded->header.frameID};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::int64_t datagramSize = input.ConsumeIntegralInRange<std::int64_t>(109, 400);
    const std::int64_t groupSize = input.ConsumeIntegralInRange<std::int64_t>(0, 6);
    const auto frameCount = input.ConsumeIntegralInRange<std::uint32_t>(1, 6);
    std::uint32_t epoch = input.ConsumeIntegral<std::uint32_t>();
    const std::uint32_t firstFrame = input.ConsumeIntegral<std::uint32_t>();

    std::map<FrameKey, Bytes> sent;
    std::vector<Bytes> wire;
    for (std::uint32_t n = 0; n < frameCount; ++n) {
        if (input.ConsumeBool()) epoch += input.ConsumeIntegralInRange<std::uint32_t>(0, 2);
        EncodedFrame frame;
        frame.surfaceID = 1;
        frame.epoch = epoch;
        frame.frameID = firstFrame + n;
        frame.configGeneration = 1;
        frame.flags = MediaHeader::Flags{input.ConsumeIntegralInRange<std::uint8_t>(0, 7)};
        frame.data.resize(input.ConsumeIntegralInRange<std::size_t>(1, 3000));
        for (std::size_t i = 0; i < frame.data.size(); ++i) frame.data[i] = static_cast<std::uint8_t>(i * 31 + n);
        auto fragments = MediaFragmenter::fragment(frame, datagramSize - 5, 0);
        if (!fragments) std::abort();
        auto parities = ParityFEC::parity(*fragments, groupSize, static_cast<std::size_t>(datagramSize));
        if (!parities) std::abort();
        for (const SharedBytes& datagram : *fragments) wire.push_back(datagram.toBytes());
        for (const SharedBytes& datagram : *parities) {
            if (datagram.size() > static_cast<std::size_t>(datagramSize)) std::abort();
            wire.push_back(datagram.toBytes());
        }
        sent[{frame.epoch, frame.frameID}] = frame.data;
    }

    // The channel: each step drops, repeats, swaps or damages a datagram.
    std::set<FrameKey> tainted;
    bool renumbered = false;
    while (input.remaining_bytes() > 0 && !wire.empty()) {
        const std::size_t at = input.ConsumeIntegralInRange<std::size_t>(0, wire.size() - 1);
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: wire.erase(wire.begin() + static_cast<std::ptrdiff_t>(at)); break;
        case 1: wire.push_back(wire[at]); break;
        case 2: std::swap(wire[at], wire[input.ConsumeIntegralInRange<std::size_t>(0, wire.size() - 1)]); break;
        default: {
            Bytes& datagram = wire[at];
            const auto before = keyOf(datagram);
            datagram[input.ConsumeIntegralInRange<std::size_t>(0, datagram.size() - 1)] ^=
                input.ConsumeIntegralInRange<std::uint8_t>(1, 255);
            const auto after = keyOf(datagram);
            if (before) tainted.insert(*before);
            if (after) tainted.insert(*after);
            renumbered = renumbered || (after && after != before);
        }
        }
    }

    ParityRecovery recovery(3);
    FrameAssembler assembler(1, AssemblyLimits(3, 20'000, 1'000'000));
    assembler.acceptConfigGeneration(1);
    std::set<FrameKey> delivered;
    std::uint64_t nowNs = 0;
    for (Bytes& datagram : wire) {
        nowNs += 1000;
        for (SharedBytes& passed : recovery.ingest(SharedBytes(std::move(datagram)))) {
            for (const AssemblyEvent& event : assembler.ingest(std::move(passed), nowNs)) {
                const auto* complete = event.as<AssemblyEvent::Complete>();
                if (!complete) continue;
                const FrameKey key{complete->frame.epoch, complete->frame.frameID};
                if (tainted.contains(key)) continue;
                if (!delivered.insert(key).second && !renumbered) std::abort();
                auto original = sent.find(key);
                if (original == sent.end() || original->second != complete->frame.data) std::abort();
            }
        }
    }
    return 0;
}
