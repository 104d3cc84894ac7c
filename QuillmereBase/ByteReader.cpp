#include "QuillmereBase/ByteReader.h"

#include "QuillmereBase/UTF8.h"

namespace quillmere {

namespace {

template <class T>
ByteResult<T> bigEndian(ByteResult<ByteView> bytes) {
    if (!bytes) return std::unexpected(bytes.error());
    T value = 0;
    for (std::uint8_t byte : *bytes) value = static_cast<T>((value << 8) | byte);
    return value;
}

} // namespace

ByteResult<ByteView> ByteReader::take(std::ptrdiff_t count) {
    if (count < 0 || count > remaining()) return std::unexpected(ByteError::truncated());
    ByteView view = bytes_.subspan(offset_, static_cast<std::size_t>(count));
    offset_ += static_cast<std::size_t>(count);
    return view;
}

ByteResult<std::uint8_t> ByteReader::readU8() {
    return bigEndian<std::uint8_t>(take(1));
}

ByteResult<std::uint16_t> ByteReader::readU16() {
    return bigEndian<std::uint16_t>(take(2));
}

ByteResult<std::uint32_t> ByteReader::readU32() {
    return bigEndian<std::uint32_t>(take(4));
}

ByteResult<std::uint64_t> ByteReader::readU64() {
    return bigEndian<std::uint64_t>(take(8));
}

ByteResult<bool> ByteReader::readBool() {
    auto byte = readU8();
    if (!byte) return std::unexpected(byte.error());
    if (*byte > 1) return std::unexpected(ByteError::invalidBoolean());
    return *byte == 1;
}

ByteResult<Bytes> ByteReader::readBytes(std::ptrdiff_t count) {
    auto view = take(count);
    if (!view) return std::unexpected(view.error());
    return Bytes(view->begin(), view->end());
}

ByteResult<std::string> ByteReader::readShortString(std::size_t maxBytes, std::string_view field) {
    auto length = readU8();
    if (!length) return std::unexpected(length.error());
    if (*length > maxBytes) return std::unexpected(ByteError::outOfRange(std::string(field)));
    auto raw = take(*length);
    if (!raw) return std::unexpected(raw.error());
    auto text = decodeUTF8(*raw);
    if (!text) return std::unexpected(ByteError::invalidString());
    return std::move(*text);
}

ByteStatus ByteReader::expectEnd() const {
    if (offset_ != bytes_.size()) return std::unexpected(ByteError::trailingBytes());
    return {};
}

} // namespace quillmere
