#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// Why an encoder could not be made.
class EncoderError {
public:
    enum class Kind : std::uint8_t { sessionCreation, prepare, hardwareUnavailable, codecNotQualified };

    static EncoderError sessionCreation(std::int32_t status) { return {Kind::sessionCreation, status}; }
    static EncoderError prepare(std::int32_t status) { return {Kind::prepare, status}; }
    static EncoderError hardwareUnavailable() { return {Kind::hardwareUnavailable, 0}; }
    static EncoderError codecNotQualified() { return {Kind::codecNotQualified, 0}; }

    Kind kind() const { return kind_; }
    // The encoder's status for sessionCreation and prepare; 0 otherwise.
    std::int32_t status() const { return status_; }

    std::string description() const;

    bool operator==(const EncoderError&) const = default;

private:
    EncoderError(Kind kind, std::int32_t status) : kind_(kind), status_(status) {}

    Kind kind_;
    std::int32_t status_;
};

} // namespace quillmere
