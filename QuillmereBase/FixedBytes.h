#pragma once

#include "QuillmereBase/ByteError.h"
#include "QuillmereBase/Bytes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

namespace quillmere {

// Fixed-size byte identifier; the length is an invariant of the type. Tag
// names the type (Tag::path) in the error a wrong length gives.
template <std::size_t N, class Tag>
class FixedBytes {
public:
    static constexpr std::size_t byteCount = N;

    FixedBytes() = default; // all zero
    static FixedBytes zero() { return FixedBytes(); }
    explicit FixedBytes(const std::array<std::uint8_t, N>& bytes) : bytes_(bytes) {}

    // Any other length is outOfRange with the type's own path ("WireID", "Digest32").
    static ByteResult<FixedBytes> fromBytes(ByteView bytes);

    template <class Generator>
    static FixedBytes random(Generator& generator) {
        std::uniform_int_distribution<int> byte(0, 255);
        FixedBytes out;
        for (auto& b : out.bytes_) b = static_cast<std::uint8_t>(byte(generator));
        return out;
    }

    const std::array<std::uint8_t, N>& bytes() const { return bytes_; }
    ByteView view() const { return ByteView(bytes_.data(), N); }
    Bytes toBytes() const { return Bytes(bytes_.begin(), bytes_.end()); }

    // Running time does not depend on where the values differ.
    bool constantTimeEquals(const FixedBytes& other) const {
        std::uint8_t diff = 0;
        for (std::size_t i = 0; i < N; ++i) diff |= static_cast<std::uint8_t>(bytes_[i] ^ other.bytes_[i]);
        return diff == 0;
    }

    // Lower-case hex of the first four bytes.
    std::string description() const;

    bool operator==(const FixedBytes&) const = default;
    auto operator<=>(const FixedBytes&) const = default;

private:
    std::array<std::uint8_t, N> bytes_{};
};

// Lower-case hex of the first four bytes at most: identifiers print as 8 characters.
std::string hexString(ByteView bytes);

// Constant-time comparison of two byte ranges over the right-hand length
// (stopping early only where the left-hand one is shorter).
bool constantTimeEquals(ByteView lhs, ByteView rhs);

template <std::size_t N, class Tag>
ByteResult<FixedBytes<N, Tag>> FixedBytes<N, Tag>::fromBytes(ByteView bytes) {
    if (bytes.size() != N) return std::unexpected(ByteError::outOfRange(Tag::path));
    FixedBytes out;
    std::copy(bytes.begin(), bytes.end(), out.bytes_.begin());
    return out;
}

template <std::size_t N, class Tag>
std::string FixedBytes<N, Tag>::description() const {
    return hexString(view());
}

} // namespace quillmere

template <std::size_t N, class Tag>
struct std::hash<quillmere::FixedBytes<N, Tag>> {
    std::size_t operator()(const quillmere::FixedBytes<N, Tag>& value) const noexcept {
        std::size_t h = std::hash<std::size_t>{}(N);
        for (std::uint8_t b : value.bytes()) h = h * 1099511628211ULL ^ b;
        return h;
    }
};
