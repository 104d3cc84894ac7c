#pragma once

#include "TestSupport/TemporaryFolder.h"

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace quillmere::testing {

// An account other than the one running the tests, which the password
// database need not know, with the group of its number and no other. Only
// root may act as one. What it may reach of the tests' files depends on
// where the clone and the temporary folders lie (a folder only its owner
// may enter, as mktemp -d makes, closes everything below): found by trying.
class OtherAccount {
public:
    explicit OtherAccount(uid_t id) : id_(id) {}

    static bool possible();
    uid_t id() const { return id_; }

    // Makes the calling process the account, for good: for a child after
    // fork, before its work or exec (system calls only).
    bool become() const;
    // Whether the account may access the path as mode asks (R_OK, W_OK,
    // X_OK), every folder on the way included.
    bool may(const std::filesystem::path& path, int mode) const;

    // A fresh folder the account may enter; why not, when it cannot reach
    // the temporary folders at all ($TMPDIR).
    std::expected<std::filesystem::path, std::string> folder();
    // Where the account may run the program: the program's own path when it
    // may, else a copy in a folder of its own; why not when neither.
    std::expected<std::filesystem::path, std::string> runnable(const std::filesystem::path& program);
    // The command that runs the arguments as the account: through env, so
    // that the first argument may be a variable to set (NAME=value, -u NAME).
    std::vector<std::string> command(const std::vector<std::string>& arguments) const;

private:
    uid_t id_;
    TemporaryFolder place_;
    int folders_ = 0;
};

} // namespace quillmere::testing
