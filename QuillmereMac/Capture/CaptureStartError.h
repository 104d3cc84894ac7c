#pragma once

#include <any>
#include <concepts>
#include <string>
#include <typeinfo>

namespace quillmere {

// Why a capture source could not start: the source's own error, kept as its
// type (a CaptureStopReason, a platform error, a pool error), with the text a
// caller logs.
class CaptureStartError {
public:
    template <class Error>
        requires requires(const Error& error) {
            { error.description() } -> std::convertible_to<std::string>;
        } && (!std::same_as<std::decay_t<Error>, CaptureStartError>)
    CaptureStartError(Error error) : description_(error.description()), error_(std::move(error)) {}

    const std::string& description() const { return description_; }

    // The error as the type the source raised, or nothing for another type.
    template <class Error>
    const Error* as() const {
        return std::any_cast<Error>(&error_);
    }

    bool operator==(const CaptureStartError& other) const {
        return error_.type() == other.error_.type() && description_ == other.description_;
    }

private:
    std::string description_;
    std::any error_;
};

} // namespace quillmere
