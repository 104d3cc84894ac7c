#pragma once

#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

class TrustStoreError {
public:
    enum class Kind : std::uint8_t { corrupt, storage, full };

    // The blob is not a valid trust blob; the error says where.
    static TrustStoreError corrupt(WireError error) { return {Kind::corrupt, std::move(error), {}}; }
    // The storage failed to load or save; the text is its error's.
    static TrustStoreError storage(std::string text) { return {Kind::storage, WireError::truncated(), std::move(text)}; }
    // Adding would make more than 32 peers.
    static TrustStoreError full() { return {Kind::full, WireError::truncated(), {}}; }

    Kind kind() const { return kind_; }
    // The corrupt case's error; meaningless for the others.
    const WireError& wireError() const { return wireError_; }
    // The storage case's text; empty for the others.
    const std::string& text() const { return text_; }

    // "corrupt(truncated)", "storage(\"...\")", "full".
    std::string description() const;
    // In words, naming where the blob lives when it is known, and for a
    // blob of another format the version it has.
    std::string message() const;

    // Where the blob that did not decode lives; not part of equality.
    TrustStoreError at(std::string location) && {
        location_ = std::move(location);
        return std::move(*this);
    }
    const std::string& location() const { return location_; }
    // The version byte of a blob of another format, and whether that format
    // is newer than the one read here; not part of equality, which keeps
    // the decoder's 0.
    TrustStoreError withVersionFound(std::uint8_t version, bool newer) && {
        versionFound_ = version;
        newerFormat_ = newer;
        return std::move(*this);
    }
    const std::optional<std::uint8_t>& versionFound() const { return versionFound_; }
    // A newer Quillmere may read what this one cannot.
    bool newerFormat() const { return newerFormat_; }

    bool operator==(const TrustStoreError& other) const {
        return kind_ == other.kind_ && wireError_ == other.wireError_ && text_ == other.text_;
    }

private:
    TrustStoreError(Kind kind, WireError wireError, std::string text)
        : kind_(kind), wireError_(std::move(wireError)), text_(std::move(text)) {}

    Kind kind_;
    // Fixed at truncated outside corrupt so that equality sees only the payload of the case.
    WireError wireError_;
    std::string text_;
    std::string location_;
    std::optional<std::uint8_t> versionFound_;
    bool newerFormat_ = false;
};

} // namespace quillmere
