#include "QuillmereMac/Encoder/AnnexB.h"

namespace quillmere::AnnexB {

std::expected<Bytes, Failure> convert(ByteView bytes, std::int64_t lengthSize) {
    if (lengthSize < 1 || lengthSize > 4) return std::unexpected(Failure::unsupportedLengthSize(lengthSize));
    const auto size = static_cast<std::int64_t>(bytes.size());
    Bytes output;
    output.reserve(bytes.size() + 16);
    std::int64_t offset = 0;
    while (offset < size) {
        if (offset + lengthSize > size) return std::unexpected(Failure::badLength(offset));
        std::uint64_t length = 0;
        for (std::int64_t i = 0; i < lengthSize; ++i) length = length << 8 | bytes[static_cast<std::size_t>(offset + i)];
        const std::int64_t start = offset + lengthSize;
        if (length == 0 || length > static_cast<std::uint64_t>(size - start))
            return std::unexpected(Failure::badLength(start));
        static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
        output.insert(output.end(), std::begin(startCode), std::end(startCode));
        const auto unit = bytes.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
        output.insert(output.end(), unit.begin(), unit.end());
        offset = start + static_cast<std::int64_t>(length);
    }
    return output;
}

std::vector<ByteView> units(ByteView stream) {
    std::vector<ByteView> found;
    const std::size_t size = stream.size();
    // Position just past the current unit's start code, or none yet.
    std::size_t unitStart = size;
    std::size_t i = 0;
    auto finish = [&](std::size_t end) {
        if (unitStart >= size) return;
        // Zero bytes before a start code belong to neither unit.
        while (end > unitStart && stream[end - 1] == 0) --end;
        if (end > unitStart) found.push_back(stream.subspan(unitStart, end - unitStart));
    };
    while (i + 2 < size) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            finish(i);
            unitStart = i + 3;
            i += 3;
        } else {
            ++i;
        }
    }
    finish(size);
    return found;
}

} // namespace quillmere::AnnexB
