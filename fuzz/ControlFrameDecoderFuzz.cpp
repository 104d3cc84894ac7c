// Arbitrary bytes into the control frame decoder, cut into pieces the input
// chooses; whatever decodes must re-encode and decode back to itself, and the
// cutting must not change the outcome.

#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/WireProtocol.h"

#include <cstdlib>
#include <cstdio>

using namespace quillmere;

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

struct Outcome {
    std::vector<ControlMessage> messages;
    std::optional<WireError> failure;
    std::size_t buffered = 0;
};

Outcome pushInPieces(ByteView stream, std::size_t pieceSize) {
    ControlFrameDecoder decoder;
    Outcome outcome;
    for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
        auto part = decoder.push(stream.subspan(at, std::min(pieceSize, stream.size() - at)));
        check(decoder.bufferedCount() <= WireProtocol::controlHeaderSize + WireProtocol::maxControlPayload,
              "buffer holds at most one frame");
        if (!part) {
            outcome.failure = part.error();
            check(decoder.bufferedCount() == 0, "a failed decoder holds nothing");
            check(!decoder.push(stream.first(0)).has_value(), "failure is final");
            break;
        }
        outcome.messages.insert(outcome.messages.end(), part->begin(), part->end());
    }
    outcome.buffered = decoder.bufferedCount();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t pieceSize = 1 + data[0] % 32;
    const ByteView stream(data + 1, size - 1);

    const Outcome whole = pushInPieces(stream, stream.size() + 1);
    const Outcome pieces = pushInPieces(stream, pieceSize);
    check(whole.failure == pieces.failure, "the same failure however the stream is cut");
    if (!whole.failure) {
        check(whole.messages == pieces.messages, "the same messages however the stream is cut");
        check(whole.buffered == pieces.buffered, "the same bytes held back however the stream is cut");
    }

    for (const ControlMessage& message : pieces.messages) {
        if (message.is<msg::Ignored>()) continue;
        auto frame = message.encodeFrame();
        check(frame.has_value(), "whatever decodes re-encodes");
        auto again = ControlMessage::decode(message.typeCode(), false, ByteView(*frame).subspan(8));
        check(again.has_value() && *again == message, "re-encoded messages decode to themselves");
    }
    return 0;
}
