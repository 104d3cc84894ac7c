#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillmere::testing {

// What zbarimg reads from an image file, byte for byte (no "QR-Code:"
// prefix, no newline); nothing when it finds no code.
std::optional<std::string> readQRCode(const std::filesystem::path& image);

} // namespace quillmere::testing
