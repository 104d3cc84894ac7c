#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// Why the system's input cannot be reached.
struct EventPostingError {
    enum class Code : std::uint8_t {
        // The display cannot be opened.
        noDisplay,
        // The server cannot take synthetic input (no XTest).
        noInputExtension,
    };

    Code code = Code::noDisplay;
    std::string detail;

    std::string description() const {
        return (code == Code::noDisplay ? std::string("no display") : std::string("no input extension")) +
               (detail.empty() ? std::string() : ": " + detail);
    }
    bool operator==(const EventPostingError& other) const { return code == other.code; }
};

} // namespace quillmere
