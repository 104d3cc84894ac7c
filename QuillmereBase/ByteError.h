#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace quillmere {

// How reading bytes fails, whatever the format: the input ends early, goes on
// after a complete record, or holds a value its field cannot take. Every case
// is also a codec error of the same name (WireError takes them over as they are).
class ByteError {
public:
    enum class Kind : std::uint8_t {
        outOfRange,
        truncated,
        trailingBytes,
        invalidString,
        invalidBoolean,
    };

    static ByteError outOfRange(std::string field) { return {Kind::outOfRange, std::move(field)}; }
    static ByteError truncated() { return {Kind::truncated, {}}; }
    static ByteError trailingBytes() { return {Kind::trailingBytes, {}}; }
    static ByteError invalidString() { return {Kind::invalidString, {}}; }
    static ByteError invalidBoolean() { return {Kind::invalidBoolean, {}}; }

    Kind kind() const { return kind_; }
    // The dotted field path of outOfRange; empty otherwise.
    const std::string& field() const { return field_; }

    // "outOfRange(\"hello.name\")", "truncated".
    std::string description() const;

    bool operator==(const ByteError&) const = default;

private:
    ByteError(Kind kind, std::string field) : kind_(kind), field_(std::move(field)) {}

    Kind kind_;
    std::string field_;
};

template <class T>
using ByteResult = std::expected<T, ByteError>;
using ByteStatus = std::expected<void, ByteError>;

} // namespace quillmere
