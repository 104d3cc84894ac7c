#pragma once

#include <any>
#include <concepts>
#include <optional>
#include <string>
#include <typeinfo>

namespace quillmere {

// Why a capture source could not start: the source's own error, kept as its
// type (a CaptureStopReason, a platform error, a pool error), with the text a
// caller logs, and words for people when the content cannot be captured at
// all.
class CaptureStartError {
public:
    template <class Error>
        requires requires(const Error& error) {
            { error.description() } -> std::convertible_to<std::string>;
        } && (!std::same_as<std::decay_t<Error>, CaptureStartError>)
    CaptureStartError(Error error) : description_(error.description()), error_(std::move(error)) {}

    const std::string& description() const { return description_; }
    // Why the content cannot be captured, in words a person reads; nothing
    // for failures that are not the content's own.
    const std::optional<std::string>& explanation() const { return explanation_; }
    CaptureStartError explained(std::string words) && {
        explanation_ = std::move(words);
        return std::move(*this);
    }

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
    std::optional<std::string> explanation_;
    std::any error_;
};

} // namespace quillmere
