#pragma once

#include "QuillmereViewer/DecodedPicture.h"

#include <expected>
#include <filesystem>
#include <vector>
#include <string>

namespace quillmere {

// Decoded pictures as PNG files (8-bit RGB), written whole or not at all.
class SnapshotWriter {
public:
    // The folder is made when missing.
    static std::expected<SnapshotWriter, std::string> open(std::filesystem::path folder);

    // <folder>/frame-<number>.png
    std::expected<std::filesystem::path, std::string> write(const DecodedPicture& picture, std::uint32_t number) const;

    // One picture as PNG bytes.
    static std::expected<std::vector<std::uint8_t>, std::string> encode(const DecodedPicture& picture);

private:
    explicit SnapshotWriter(std::filesystem::path folder) : folder_(std::move(folder)) {}

    std::filesystem::path folder_;
};

} // namespace quillmere
