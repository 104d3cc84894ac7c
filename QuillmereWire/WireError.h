#pragma once

#include "QuillmereBase/ByteError.h"

#include <cstdint>
#include <expected>
#include <string>

namespace quillmere {

// The one error of every codec. Only outOfRange and unknownValue carry a
// field path; the numeric payload serves unknownValue, frameTooLarge,
// unsupportedMessage and versionMismatch.
class WireError {
public:
    enum class Kind : std::uint8_t {
        outOfRange,
        unknownValue,
        frameTooLarge,
        unsupportedMessage,
        versionMismatch,
        truncated,
        trailingBytes,
        invalidString,
        invalidBoolean,
        reservedBitsSet,
    };

    // Every failure of the byte reader is the codec error of the same name,
    // so a codec hands reader results on as they are.
    WireError(const ByteError& error);

    static WireError outOfRange(std::string field) { return {Kind::outOfRange, std::move(field), 0}; }
    static WireError unknownValue(std::string field, std::uint32_t raw) { return {Kind::unknownValue, std::move(field), raw}; }
    static WireError frameTooLarge(std::uint32_t length) { return {Kind::frameTooLarge, {}, length}; }
    static WireError unsupportedMessage(std::uint16_t type) { return {Kind::unsupportedMessage, {}, type}; }
    static WireError versionMismatch(std::uint16_t version) { return {Kind::versionMismatch, {}, version}; }
    static WireError truncated() { return {Kind::truncated, {}, 0}; }
    static WireError trailingBytes() { return {Kind::trailingBytes, {}, 0}; }
    static WireError invalidString() { return {Kind::invalidString, {}, 0}; }
    static WireError invalidBoolean() { return {Kind::invalidBoolean, {}, 0}; }
    static WireError reservedBitsSet() { return {Kind::reservedBitsSet, {}, 0}; }

    Kind kind() const { return kind_; }
    // The dotted field path; empty for the cases that carry none.
    const std::string& field() const { return field_; }
    // The raw value, length, type code or version the case carries; 0 otherwise.
    std::uint32_t value() const { return value_; }

    // "outOfRange(\"media.kind\")", "unknownValue(\"media.kind\", 7)", "truncated".
    std::string description() const;

    bool operator==(const WireError&) const = default;

private:
    WireError(Kind kind, std::string field, std::uint32_t value)
        : kind_(kind), field_(std::move(field)), value_(value) {}

    Kind kind_;
    std::string field_;
    std::uint32_t value_;
};

template <class T>
using WireResult = std::expected<T, WireError>;

// Result of an operation that yields nothing but may fail.
using WireStatus = std::expected<void, WireError>;

} // namespace quillmere
