#include "QuillmereMac/Bundle/BundleInfo.h"

namespace quillmere {

namespace {

std::optional<std::string> given(const char* value) {
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

} // namespace

BundleInfo BundleInfo::main() {
    BundleInfo info;
    info.shortVersion = given(QUILLMERE_SHORT_VERSION);
    info.build = given(QUILLMERE_BUILD_VERSION);
    info.helpAddress = given(QUILLMERE_HELP_URL);
#ifdef NDEBUG
    info.configuration = "Release";
#else
    info.configuration = "Debug";
#endif
    return info;
}

std::string BundleInfo::versionText() const {
    return shortVersion.value_or("1.0") + " (" + build.value_or("1") + ")";
}

std::string BundleInfo::appText() const { return shortVersion.value_or("-") + " (" + build.value_or("-") + ")"; }

} // namespace quillmere
