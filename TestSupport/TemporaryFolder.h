#pragma once

#include <filesystem>
#include <string_view>

namespace quillmere::testing {

// A fresh folder for one test under $TMPDIR (else /tmp), deleted with
// everything in it afterwards.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes a one-line file (as sysfs shows its values) at a path inside
    // the folder, making the folders on the way; returns the file's path.
    std::filesystem::path writeLine(const std::filesystem::path& relative, std::string_view line) const;
    // The same with the text exactly as given (several lines, or none).
    std::filesystem::path write(const std::filesystem::path& relative, std::string_view text) const;

private:
    std::filesystem::path path_;
};

} // namespace quillmere::testing
