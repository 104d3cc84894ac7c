#pragma once

#include <sys/stat.h>

#include <expected>
#include <filesystem>
#include <string>

namespace quillmere {

// The account's private state: folders and files that are its own alone. One
// that belongs to another account, or that another account could change, is
// never used; one that others may only read is made private before use.
// Failures are phrases to follow the path in a sentence, such as "belongs to
// another account (uid 1001)".
class PrivateFiles {
public:
    enum class Folder { missing, ready };

    // Makes the folder and missing parents (0700) when create is set;
    // otherwise a folder that does not exist is missing. A folder that
    // exists is checked, and what others may do with it is taken away.
    static std::expected<Folder, std::string> folder(const std::filesystem::path& folder, bool create);
    // An open file: a plain file of this account that no other may change;
    // what others may do with it is taken away.
    static std::expected<void, std::string> file(int fd);

    // Ownership and modes alone; what is wrong in words.
    static std::expected<void, std::string> owned(const struct stat& info);
    // The system's reason for an errno, in words ("permission denied").
    static std::string reason(int error);
};

} // namespace quillmere
