#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace quillmere {

// The account's private state: folders and files that are its own alone. One
// that belongs to another account, or that another account could change, is
// never used; one that others may only read is made private before use. A
// state folder is reached from "/" one folder at a time, as the kernel takes
// its path (".." after a link leads above the link's target); it is refused
// when a folder above it belongs to an account other than root or this one,
// or others may change it without the sticky bit, or a link on the way is
// another account's: they could put something else in its place. In a user
// namespace that leaves root unmapped, the overflow id stands for root only
// above the account's home (the password database's) and runtime folder.
class PrivateFiles {
public:
    enum class Folder { missing, ready };

    struct Problem {
        enum class Kind {
            // Another account's, or another account could change it.
            foreign,
            // A folder above it is another account's, or others could change
            // it: moving it aside would not help, a folder of its own would.
            above,
            // Not a folder, or not a plain file.
            wrongKind,
            // The system refused (permission denied, no space...).
            failed,
        };
        Kind kind;
        // To follow the path in a sentence: "belongs to another account (uid 1001)".
        std::string reason;
    };

    // Makes the folder and missing parents (0700) when create is set;
    // otherwise a folder that does not exist is missing. A folder that
    // exists is checked, and what others may do with it is taken away. The
    // folder itself is never a symbolic link; links above it are followed
    // when root's or this account's.
    static std::expected<Folder, Problem> folder(const std::filesystem::path& folder, bool create);
    // An open file: a plain file of this account that no other may change;
    // what others may do with it is taken away.
    static std::expected<void, Problem> file(int fd);
    // The system's reason for an errno, in words ("permission denied").
    static std::string reason(int error);
};

} // namespace quillmere
