#include "TestSupport/TemporaryFolder.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quillmere::testing {

namespace {

// A folder a test left without write or search permission keeps its
// entries from anyone but root: give the owner its rights back, all the
// way down, so that a run as any account leaves nothing behind.
void reopen(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    std::filesystem::directory_iterator entry(folder, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::error_code unknown;
        if (entry->symlink_status(unknown).type() == std::filesystem::file_type::directory) reopen(entry->path());
    }
}

} // namespace

TemporaryFolder::TemporaryFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/quillmere-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    reopen(path_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TemporaryFolder::writeLine(const std::filesystem::path& relative, std::string_view line) const {
    return write(relative, std::string(line) + "\n");
}

std::filesystem::path TemporaryFolder::write(const std::filesystem::path& relative, std::string_view text) const {
    const std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
    return file;
}

} // namespace quillmere::testing
