#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace quillmere {

// The bytes written to one stream: kept from the send until the peer
// acknowledges them (the QUIC library retransmits from here), handed out
// once for sending, and followed by at most one end of stream.
class StreamSendBuffer {
public:
    // Called once the chunk's last byte (and its end of stream) went out.
    using Sent = std::function<void()>;

    // Small writes that nothing waits on join the last chunk while none of
    // it went out, up to this size: a peer that reads slowly leaves many of
    // them queued, and each chunk costs more than a short message's bytes.
    static constexpr std::size_t maxJoinedBytes = 16 * 1024;

    // Nothing may follow an end of stream; returns false then.
    bool append(Bytes data, bool fin, Sent sent = {});

    bool hasUnsent() const { return sentOffset_ < endOffset_ || (finQueued_ && !finSent_); }
    bool finQueued() const { return finQueued_; }
    bool finSent() const { return finSent_; }
    std::uint64_t sentOffset() const { return sentOffset_; }
    std::uint64_t endOffset() const { return endOffset_; }
    std::uint64_t ackedOffset() const { return ackedOffset_; }
    // Bytes held for sending or retransmission.
    std::size_t heldBytes() const { return static_cast<std::size_t>(endOffset_ - ackedOffset_); }

    // Up to maxCount pieces of the unsent bytes, in order.
    std::vector<ByteView> unsent(std::size_t maxCount) const;
    // True when every unsent byte fits in pieces and an end of stream may go with them.
    bool finFollows(std::uint64_t bytes) const { return finQueued_ && !finSent_ && sentOffset_ + bytes == endOffset_; }

    // bytes went out, and the end of stream with them when fin; returns the
    // callbacks of chunks now completely sent, for the caller to run later.
    std::vector<Sent> markSent(std::uint64_t bytes, bool fin);
    // The peer acknowledged [offset, offset + length): acknowledgements come
    // in order, so everything below the end is released.
    void acknowledge(std::uint64_t offset, std::uint64_t length);
    // Drops everything; returns no callbacks (nothing was sent).
    void clear();

private:
    struct Chunk {
        Bytes data;
        std::uint64_t offset;
        bool fin;
        Sent sent;
    };

    std::deque<Chunk> chunks_;
    std::uint64_t endOffset_ = 0;
    std::uint64_t sentOffset_ = 0;
    std::uint64_t ackedOffset_ = 0;
    // Chunks before this index have had their callback taken.
    std::size_t notifiedChunks_ = 0;
    bool finQueued_ = false;
    bool finSent_ = false;
};

} // namespace quillmere
