#pragma once

#include "Platform/X11/XcbConnection.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace quillmere {

// Why the clipboard's text could not be read.
struct ClipboardReadError {
    enum class Kind : std::uint8_t {
        noDisplay,   // the display did not open
        silentOwner, // the owner did not answer in time
    };

    Kind kind = Kind::noDisplay;
    // noDisplay: what the opening said.
    std::string detail;
    // silentOwner: the owner's window, and its class or title when it has one.
    std::uint32_t owner = 0;
    std::string ownerName;

    // "the clipboard's owner, window 0x1a00001 (xclip), did not answer within 2 s".
    std::string description(std::uint64_t boundNs) const;
    bool operator==(const ClipboardReadError&) const = default;
};

// The CLIPBOARD selection's text, asked of its owner over a connection of
// our own: the owner is another program (or our own GUI thread), which may
// be slow, stopped or gone, so the answer is waited for no longer than a
// bound. UTF8_STRING first, then STRING; long texts come in INCR chunks.
class ClipboardReaderX11 {
public:
    static constexpr std::uint64_t answerBoundNs = 2'000'000'000;

    // Text, or none when the clipboard holds none or its owner refuses
    // both forms. Blocks for at most boundNs; any thread.
    using Read = std::expected<std::optional<std::string>, ClipboardReadError>;
    static Read read(const XcbConnection::Opener& open, std::uint64_t boundNs = answerBoundNs);
};

} // namespace quillmere
