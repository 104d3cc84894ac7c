#include "QuillmereWire/ParityRecovery.h"

#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/ParityFEC.h"

#include <algorithm>

namespace quillmere {

std::size_t ParityRecovery::KeyHash::operator()(const FrameKey& key) const {
    std::uint64_t mixed = (std::uint64_t{key.surface} << 32 | key.epoch) * 0x9E3779B97F4A7C15ULL;
    mixed ^= key.frame + 0x632BE59BD9B4E019ULL + (mixed << 6) + (mixed >> 2);
    return static_cast<std::size_t>(mixed);
}

ParityRecovery::ParityRecovery(std::int64_t maxFrames) : maxFrames_(std::max<std::int64_t>(maxFrames, 1)) {}

std::vector<SharedBytes> ParityRecovery::ingest(SharedBytes datagram) {
    std::vector<SharedBytes> out;
    auto decoded = MediaDatagram::decode(datagram.view());
    if (!decoded || (decoded->header.kind != MediaHeader::Kind::video &&
                     decoded->header.kind != MediaHeader::Kind::parity)) {
        out.push_back(std::move(datagram));
        return out;
    }
    const MediaHeader& header = decoded->header;
    const FrameKey key{header.surfaceID, header.epoch, header.frameID};
    auto found = frames_.find(key);
    if (found == frames_.end()) {
        if (static_cast<std::int64_t>(order_.size()) >= maxFrames_) {
            frames_.erase(order_.front());
            order_.pop_front();
        }
        found = frames_.emplace(key, Pending{}).first;
        order_.push_back(key);
    }
    Pending& pending = found->second;

    Held held{header, datagram.suffix(MediaHeader::headerSize)};
    if (header.kind == MediaHeader::Kind::parity) {
        // A repeated group position replaces the parity kept for it, so a
        // frame keeps at most one parity per group however many arrive.
        auto same = std::ranges::find_if(pending.parities, [&](const Held& kept) {
            return kept.header.fragmentIndex == header.fragmentIndex;
        });
        if (same != pending.parities.end()) {
            *same = std::move(held);
        } else {
            pending.parities.push_back(std::move(held));
        }
    } else {
        pending.fragments.insert_or_assign(header.fragmentIndex, std::move(held));
        out.push_back(std::move(datagram));
    }

    if (auto rebuilt = reconstruct(key)) out.push_back(std::move(*rebuilt));
    return out;
}

std::optional<SharedBytes> ParityRecovery::reconstruct(const FrameKey& key) {
    auto found = frames_.find(key);
    if (found == frames_.end()) return std::nullopt;
    Pending& pending = found->second;
    for (const Held& parity : pending.parities) {
        if (auto rebuilt = rebuild(pending, parity)) {
            ++recovered_;
            return rebuilt;
        }
    }
    return std::nullopt;
}

std::optional<SharedBytes> ParityRecovery::rebuild(Pending& pending, const Held& parity) {
    const ByteView payload = parity.payload.view();
    if (payload.size() < ParityFEC::parityPrefixSize) return std::nullopt;
    const std::uint32_t first = std::uint32_t{payload[0]} << 8 | payload[1];
    const std::uint32_t size = payload[2];
    const std::uint32_t lengthXor = std::uint32_t{payload[3]} << 8 | payload[4];
    const ByteView data = payload.subspan(ParityFEC::parityPrefixSize);
    if (size == 0 || first + size - 1 > 0xFFFF) return std::nullopt;
    const std::uint32_t last = first + size - 1;

    const auto begin = pending.fragments.lower_bound(static_cast<std::uint16_t>(first));
    const auto end = pending.fragments.upper_bound(static_cast<std::uint16_t>(last));
    const auto present = static_cast<std::uint32_t>(std::distance(begin, end));
    if (present + 1 != size) return std::nullopt;
    // With nothing of the group at hand there is no header to rebuild from.
    if (begin == end) return std::nullopt;

    std::uint32_t missing = first;
    for (auto it = begin; it != end && it->first == missing; ++it) ++missing;

    Bytes bytes(data.begin(), data.end());
    std::uint32_t length = lengthXor;
    for (auto it = begin; it != end; ++it) {
        const ByteView fragment = it->second.payload.view();
        ParityFEC::xorInto(bytes.data(), fragment.data(), std::min(fragment.size(), bytes.size()));
        length ^= static_cast<std::uint32_t>(fragment.size());
    }
    if (length == 0 || length > bytes.size()) return std::nullopt;

    MediaDatagram datagram;
    datagram.header = begin->second.header;
    datagram.header.fragmentIndex = static_cast<std::uint16_t>(missing);
    datagram.payload = ByteView(bytes.data(), length);
    auto encoded = datagram.encode();
    if (!encoded) return std::nullopt;

    SharedBytes rebuilt(std::move(*encoded));
    pending.fragments.insert_or_assign(static_cast<std::uint16_t>(missing),
                                       Held{datagram.header, rebuilt.suffix(MediaHeader::headerSize)});
    return rebuilt;
}

} // namespace quillmere
