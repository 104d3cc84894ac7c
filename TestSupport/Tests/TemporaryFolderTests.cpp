#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::testing {
namespace {

// What a test closed (a folder without write or search permission) goes
// with the temporary folder also when the test's account is not root.
TEST(TemporaryFolder, NothingIsLeftOfWhatATestClosed) {
    const struct {
        const char* name;
        std::vector<std::pair<const char*, mode_t>> closed; // outermost first
    } cases[] = {{"not writable", {{"a", 0500}}},
                 {"not searchable", {{"a", 0000}}},
                 {"closed within closed", {{"a", 0500}, {"a/b", 0000}, {"a/b/c", 0100}}}};
    OtherAccount account(54321);
    const TemporaryFolder own;
    std::expected<std::filesystem::path, std::string> base = own.path();
    if (OtherAccount::possible()) base = account.folder();
    ASSERT_TRUE(base) << base.error();
    ASSERT_EQ(::chmod(base->c_str(), 0777), 0);
    const char* given = std::getenv("TMPDIR");
    const std::optional<std::string> kept = given != nullptr ? std::optional<std::string>(given) : std::nullopt;
    ::setenv("TMPDIR", base->c_str(), 1);
    for (const auto& c : cases) {
        ChildProcess test = ChildProcess::fork([&] {
            if (OtherAccount::possible() && !account.become()) return 2;
            const TemporaryFolder folder;
            for (const auto& [name, mode] : c.closed) folder.write(std::filesystem::path(name) / "file", "kept");
            for (auto closing = c.closed.rbegin(); closing != c.closed.rend(); ++closing)
                if (::chmod((folder.path() / closing->first).c_str(), closing->second) != 0) return 3;
            return 0;
        });
        EXPECT_EQ(test.wait(), 0) << c.name;
        EXPECT_TRUE(std::filesystem::is_empty(*base)) << c.name;
    }
    if (kept) {
        ::setenv("TMPDIR", kept->c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

} // namespace
} // namespace quillmere::testing
