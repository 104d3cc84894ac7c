#include "TestSupport/OtherAccount.h"

#include "TestSupport/ChildProcess.h"

#include <fmt/format.h>

#include <grp.h>
#include <unistd.h>

#include <system_error>

namespace quillmere::testing {

bool OtherAccount::possible() { return ::geteuid() == 0; }

bool OtherAccount::become() const {
    return !possible() ||
           (::setgroups(0, nullptr) == 0 && ::setresgid(id_, id_, id_) == 0 && ::setresuid(id_, id_, id_) == 0);
}

bool OtherAccount::may(const std::filesystem::path& path, int mode) const {
    return ChildProcess::fork([&] { return become() && ::access(path.c_str(), mode) == 0 ? 0 : 1; }).wait() == 0;
}

std::expected<std::filesystem::path, std::string> OtherAccount::folder() {
    if (possible() && (::chown(place_.path().c_str(), id_, id_) != 0 || !may(place_.path(), W_OK | X_OK)))
        return std::unexpected(fmt::format("uid {} may not reach {} (TMPDIR names where temporary folders go)", id_,
                                           place_.path().string()));
    return place_.path();
}

std::expected<std::filesystem::path, std::string> OtherAccount::runnable(const std::filesystem::path& program) {
    if (may(program, X_OK)) return program;
    auto copy = folder();
    if (!copy) return copy;
    *copy /= program.filename();
    std::error_code error;
    if (!std::filesystem::copy_file(program, *copy, error) || !may(*copy, X_OK))
        return std::unexpected(fmt::format("uid {} may run neither {} nor {}", id_, program.string(), copy->string()));
    return copy;
}

std::vector<std::string> OtherAccount::command(const std::vector<std::string>& arguments) const {
    // setpriv keeps root's capabilities up to its exec, so reaches any
    // program: env, started by it, starts the program as the account alone.
    std::vector<std::string> all{"/usr/bin/setpriv", fmt::format("--reuid={}", id_), fmt::format("--regid={}", id_),
                                 "--clear-groups", "/usr/bin/env"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

} // namespace quillmere::testing
