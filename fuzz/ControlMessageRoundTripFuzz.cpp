// Valid messages of every case, drawn from the fuzzer's input: each must
// encode, come back equal from its payload and from the frame decoder, and
// every shorter payload must be refused as truncated.

#include "FuzzSource.h"
#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/Tests/RandomControlMessage.h"

#include <cstdio>
#include <cstdlib>

using namespace quillmere;

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::FuzzSource source(data, size);
    testing::RandomControlMessage<fuzzing::FuzzSource> random(source);
    const ControlMessage message = random.any();

    auto frame = message.encodeFrame();
    check(frame.has_value(), "a valid message encodes");
    const ByteView payload = ByteView(*frame).subspan(8);
    auto decoded = ControlMessage::decode(message.typeCode(), false, payload);
    check(decoded.has_value() && *decoded == message, "the payload decodes to the message");

    ControlFrameDecoder decoder;
    auto streamed = decoder.push(viewOf(*frame));
    check(streamed.has_value() && streamed->size() == 1 && streamed->front() == message,
          "the frame decodes to the message");

    const std::size_t cut = static_cast<std::size_t>(source.next(0, payload.size() - (payload.empty() ? 0 : 1)));
    if (cut < payload.size()) {
        auto shorter = ControlMessage::decode(message.typeCode(), false, payload.first(cut));
        check(!shorter.has_value() && shorter.error() == WireError::truncated(), "a shorter payload is truncated");
    }
    return 0;
}
