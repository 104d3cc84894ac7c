// Arbitrary bytes as a media datagram: whatever decodes must encode back to
// exactly the same bytes, and the receive path must take it without harm.
#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/ParityRecovery.h"

#include <cstdlib>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView bytes(data, size);
    auto decoded = MediaDatagram::decode(bytes);
    if (decoded) {
        auto encoded = decoded->encode();
        if (!encoded || !std::ranges::equal(*encoded, bytes)) std::abort();
        if (decoded->payload.empty() || decoded->payload.size() > decoded->header.totalLength) std::abort();
    }

    const SharedBytes shared = SharedBytes::copyOf(bytes);
    ParityRecovery recovery(2);
    const auto passed = recovery.ingest(shared);
    if (passed.empty() != (decoded && decoded->header.kind == MediaHeader::Kind::parity)) std::abort();

    FrameAssembler assembler(decoded ? decoded->header.surfaceID : 1, AssemblyLimits(2, 1 << 16, 1000));
    if (decoded) assembler.acceptConfigGeneration(decoded->header.configGeneration);
    // A fresh assembler has nothing to lose: one datagram gives at most one event.
    const auto events = assembler.ingest(shared, 0);
    if (events.size() > 1 || (!decoded && events.size() != 1)) std::abort();
    return 0;
}
