#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace quillmere {

// The diagnostics file: lines appended, the whole kept a little over
// 8,000,000 bytes at most by cutting it to its last 4,000,000 bytes. No
// failure stops the host. It holds whole lines only, each one JSON object:
// a line cut short is dropped before the next is appended.
//
// Appending opens the file with append and create, so that an existing file
// that cannot be opened is left alone rather than replaced by one line. The
// cut keeps whole lines only: the partial line at the cut goes too. A
// symbolic link in the file's place is never followed: it may name any of
// the user's files.
class PerfLogFile {
public:
    static constexpr std::uintmax_t maxBytes = 8'000'000;
    static constexpr std::uintmax_t keptBytes = 4'000'000;

    enum class Outcome { appended, failed, symbolicLink };

    explicit PerfLogFile(std::filesystem::path file) : file_(std::move(file)) {}

    // Once, before any thread starts: a write past the file size limit then
    // fails as on a full disk instead of ending the process.
    static void ignoreFileSizeSignal();

    // line ends in a line feed.
    Outcome append(std::string_view line) const;

    const std::filesystem::path& path() const { return file_; }

private:
    // Replaces the file, open as fd, by its tail.
    void cut(int fd, std::uintmax_t size) const;

    std::filesystem::path file_;
};

} // namespace quillmere
