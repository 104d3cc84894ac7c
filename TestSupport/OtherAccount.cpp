#include "TestSupport/OtherAccount.h"

#include "TestSupport/ChildProcess.h"

#include <fmt/format.h>

#include <grp.h>
#include <unistd.h>

#include <system_error>

namespace quillmere::testing {

namespace fs = std::filesystem;

namespace {

// 0755: anyone may enter, list, read and run.
constexpr fs::perms shared = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec;

} // namespace

bool OtherAccount::possible() { return ::geteuid() == 0; }

bool OtherAccount::become() const {
    const auto group = static_cast<gid_t>(id_);
    return ::setgroups(0, nullptr) == 0 && ::setresgid(group, group, group) == 0 && ::setresuid(id_, id_, id_) == 0;
}

bool OtherAccount::may(const fs::path& path, int mode) const {
    if (!possible()) return false;
    ChildProcess trial = ChildProcess::fork([&] {
        if (!become()) return 2;
        return ::access(path.c_str(), mode) == 0 ? 0 : 1;
    });
    return trial.wait() == 0;
}

std::expected<fs::path, std::string> OtherAccount::folder() {
    if (!possible()) return std::unexpected("only root may act as another account");
    const fs::path made = place_.path() / std::to_string(++folders_);
    std::error_code error;
    // Entered by name, not listed: what lies here beside its folders stays
    // the test's own.
    fs::permissions(place_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, error);
    if (!error) fs::create_directory(made, error);
    if (!error) fs::permissions(made, shared, error);
    if (error) return std::unexpected(fmt::format("cannot make {}: {}", made.string(), error.message()));
    if (!may(made, X_OK)) {
        return std::unexpected(fmt::format("uid {} may not enter {}: a folder on the way is closed to it (TMPDIR "
                                           "names where temporary folders go)",
                                           id_, made.string()));
    }
    return made;
}

std::expected<fs::path, std::string> OtherAccount::runnable(const fs::path& program) {
    if (may(program, X_OK)) return program;
    auto into = folder();
    if (!into) {
        return std::unexpected(
            fmt::format("uid {} may not run {}, nor a copy: {}", id_, program.string(), into.error()));
    }
    const fs::path copy = *into / program.filename();
    std::error_code error;
    fs::copy_file(program, copy, error);
    if (!error) fs::permissions(copy, shared, error);
    if (error) {
        return std::unexpected(
            fmt::format("cannot copy {} to {}: {}", program.string(), copy.string(), error.message()));
    }
    if (!may(copy, X_OK))
        return std::unexpected(fmt::format("uid {} may run neither {} nor {}", id_, program.string(), copy.string()));
    return copy;
}

std::vector<std::string> OtherAccount::command(const std::vector<std::string>& arguments) const {
    // setpriv keeps root's capabilities up to its own exec, and so reaches
    // any program: env, started by it, starts the program as the account
    // alone.
    std::vector<std::string> all{"/usr/bin/setpriv", fmt::format("--reuid={}", id_), fmt::format("--regid={}", id_),
                                 "--clear-groups", "/usr/bin/env"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

} // namespace quillmere::testing
