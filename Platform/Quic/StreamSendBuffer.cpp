#include "Platform/Quic/StreamSendBuffer.h"

#include <algorithm>

namespace quillmere {

bool StreamSendBuffer::append(Bytes data, bool fin, Sent sent) {
    if (finQueued_) return false;
    if (data.empty() && !fin && !sent) return true;
    // Only onto a chunk not reported yet, none of whose bytes went out: the
    // library keeps pointers into bytes it was given until they are acknowledged.
    if (!fin && !sent && notifiedChunks_ < chunks_.size()) {
        Chunk& last = chunks_.back();
        if (!last.fin && !last.sent && last.offset >= sentOffset_ && last.data.size() + data.size() <= maxJoinedBytes) {
            last.data.insert(last.data.end(), data.begin(), data.end());
            endOffset_ += data.size();
            return true;
        }
    }
    const std::uint64_t offset = endOffset_;
    endOffset_ += data.size();
    finQueued_ = fin;
    chunks_.push_back(Chunk{std::move(data), offset, fin, std::move(sent)});
    return true;
}

std::vector<ByteView> StreamSendBuffer::unsent(std::size_t maxCount) const {
    std::vector<ByteView> pieces;
    for (const Chunk& chunk : chunks_) {
        if (pieces.size() >= maxCount) break;
        const std::uint64_t end = chunk.offset + chunk.data.size();
        if (end <= sentOffset_) continue;
        const std::uint64_t skip = sentOffset_ > chunk.offset ? sentOffset_ - chunk.offset : 0;
        pieces.emplace_back(chunk.data.data() + skip, chunk.data.size() - skip);
    }
    return pieces;
}

std::vector<StreamSendBuffer::Sent> StreamSendBuffer::markSent(std::uint64_t bytes, bool fin) {
    sentOffset_ = std::min(sentOffset_ + bytes, endOffset_);
    if (fin && finQueued_ && sentOffset_ == endOffset_) finSent_ = true;
    std::vector<Sent> done;
    while (notifiedChunks_ < chunks_.size()) {
        Chunk& chunk = chunks_[notifiedChunks_];
        const std::uint64_t end = chunk.offset + chunk.data.size();
        // A chunk with data is out once its bytes are; the end of stream once it is.
        const bool out = chunk.fin ? finSent_ : end <= sentOffset_;
        if (!out) break;
        if (chunk.sent) done.push_back(std::move(chunk.sent));
        ++notifiedChunks_;
    }
    acknowledge(ackedOffset_, 0);
    return done;
}

void StreamSendBuffer::acknowledge(std::uint64_t offset, std::uint64_t length) {
    ackedOffset_ = std::max(ackedOffset_, std::min(offset + length, endOffset_));
    while (notifiedChunks_ > 0 && !chunks_.empty()) {
        const Chunk& chunk = chunks_.front();
        if (chunk.offset + chunk.data.size() > ackedOffset_) break;
        // An empty end-of-stream chunk holds no bytes the library could still need.
        chunks_.pop_front();
        --notifiedChunks_;
    }
}

void StreamSendBuffer::clear() {
    chunks_.clear();
    notifiedChunks_ = 0;
    sentOffset_ = endOffset_;
    ackedOffset_ = endOffset_;
}

} // namespace quillmere
