#pragma once

#include <optional>
#include <string>

namespace quillmere {

// What the program knows of its own version, as an application bundle's
// information would tell it: the short version and the build, either of
// which a build may leave out, and where its help is.
struct BundleInfo {
    std::optional<std::string> shortVersion;
    std::optional<std::string> build;
    // "Release" for an optimised build without assertions, else "Debug".
    std::string configuration = "Release";
    // The online help's address; a build may name none.
    std::optional<std::string> helpAddress{};

    // The values this program was built with.
    static BundleInfo main();

    // "2.3 (41)"; a missing value is "1.0" or "1".
    std::string versionText() const;
    // "2.3": what the updater compares; a missing value is "1.0".
    std::string version() const { return shortVersion.value_or("1.0"); }
    // "2.3 (41)"; a missing value is "-".
    std::string appText() const;
};

} // namespace quillmere
