#pragma once

#include "TestSupport/TemporaryFolder.h"

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace quillmere::testing {

// An account without root's power over files: when the tests run as root,
// another one, unknown to the password database, with the group of its
// number alone; else the tests' own. What it may reach of the tests' files
// depends on where the clone and TMPDIR lie: found by trying.
class OtherAccount {
public:
    explicit OtherAccount(uid_t id) : id_(id) {}

    // Whether it is another account than the tests'.
    static bool possible();
    // Makes a child after fork the account for good (system calls only).
    bool become() const;
    // A folder of its own; why not, when TMPDIR is out of its reach.
    std::expected<std::filesystem::path, std::string> folder();
    // Where it may run the program: there, else a copy in its folder.
    std::expected<std::filesystem::path, std::string> runnable(const std::filesystem::path& program);
    // Runs the arguments as the account through env, whose first arguments
    // may set variables (NAME=value, -u NAME).
    std::vector<std::string> command(const std::vector<std::string>& arguments) const;

private:
    bool may(const std::filesystem::path& path, int mode) const;

    uid_t id_;
    TemporaryFolder place_;
};

} // namespace quillmere::testing
