#include "QuillmereWire/ByteReader.h"

#include "QuillmereWire/WireText.h"

namespace quillmere {

namespace {

template <class T>
WireResult<T> bigEndian(WireResult<ByteView> bytes) {
    if (!bytes) return std::unexpected(bytes.error());
    T value = 0;
    for (std::uint8_t byte : *bytes) value = static_cast<T>((value << 8) | byte);
    return value;
}

} // namespace

WireResult<ByteView> ByteReader::take(std::ptrdiff_t count) {
    if (count < 0 || count > remaining()) return std::unexpected(WireError::truncated());
    ByteView view = bytes_.subspan(offset_, static_cast<std::size_t>(count));
    offset_ += static_cast<std::size_t>(count);
    return view;
}

WireResult<std::uint8_t> ByteReader::readU8() {
    return bigEndian<std::uint8_t>(take(1));
}

WireResult<std::uint16_t> ByteReader::readU16() {
    return bigEndian<std::uint16_t>(take(2));
}

WireResult<std::uint32_t> ByteReader::readU32() {
    return bigEndian<std::uint32_t>(take(4));
}

WireResult<std::uint64_t> ByteReader::readU64() {
    return bigEndian<std::uint64_t>(take(8));
}

WireResult<bool> ByteReader::readBool() {
    auto byte = readU8();
    if (!byte) return std::unexpected(byte.error());
    if (*byte > 1) return std::unexpected(WireError::invalidBoolean());
    return *byte == 1;
}

WireResult<Bytes> ByteReader::readBytes(std::ptrdiff_t count) {
    auto view = take(count);
    if (!view) return std::unexpected(view.error());
    return Bytes(view->begin(), view->end());
}

WireResult<std::string> ByteReader::readShortString(std::size_t maxBytes, std::string_view field) {
    auto length = readU8();
    if (!length) return std::unexpected(length.error());
    if (*length > maxBytes) return std::unexpected(WireError::outOfRange(std::string(field)));
    auto raw = take(*length);
    if (!raw) return std::unexpected(raw.error());
    auto text = decodeUTF8(*raw);
    if (!text) return std::unexpected(WireError::invalidString());
    return std::move(*text);
}

WireStatus ByteReader::expectEnd() const {
    if (offset_ != bytes_.size()) return std::unexpected(WireError::trailingBytes());
    return {};
}

} // namespace quillmere
