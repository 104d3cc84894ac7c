#include "QuillmereMac/App/AppUpdater.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"

#include <fstream>

namespace quillmere {
namespace {

using testing::TemporaryFolder;

TEST(AppUpdater, VersionsCompareByNumbers) {
    EXPECT_LT(AppUpdater::compareVersions("1.9", "1.10"), 0);
    EXPECT_EQ(AppUpdater::compareVersions("1.0", "1"), 0);
    EXPECT_GT(AppUpdater::compareVersions("2.0.1", "2.0"), 0);
}

TEST(AppUpdater, NoFeedNoUpdater) {
    TemporaryFolder folder;
    Defaults defaults(folder.path() / "defaults.ini");
    EXPECT_EQ(AppUpdater::fromSettings(defaults, "1.0"), nullptr);
    defaults.setValue(AppUpdater::feedKey, QString());
    EXPECT_EQ(AppUpdater::fromSettings(defaults, "1.0"), nullptr);
}

TEST(AppUpdater, AFileFeedIsFetchedAndComparedWithTheRunningVersion) {
    testing::qtApplication();
    TemporaryFolder folder;
    Defaults defaults(folder.path() / "defaults.ini");
    const auto feed = folder.path() / "feed.json";
    defaults.setValue(AppUpdater::feedKey, QUrl::fromLocalFile(QString::fromStdString(feed.string())).toString());
    const auto updater = AppUpdater::fromSettings(defaults, "1.2");
    ASSERT_NE(updater, nullptr);

    using Kind = AppUpdater::Result::Kind;
    struct Case {
        std::optional<std::string> text; // none: no file at all
        Kind kind;
        std::string version;
    };
    const Case cases[] = {
        {R"({"version":"1.10","url":"https://updates.quillmere.invalid/1.10"})", Kind::available, "1.10"},
        {R"({"version":"1.2"})", Kind::upToDate, "1.2"},
        {R"({"url":"https://updates.quillmere.invalid/"})", Kind::failed, ""},
        {"not json", Kind::failed, ""},
        {std::nullopt, Kind::failed, ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(feed);
        if (c.text) std::ofstream(feed) << *c.text;
        std::optional<AppUpdater::Result> result;
        updater->check([&](AppUpdater::Result r) { result = std::move(r); });
        ASSERT_TRUE(testing::pumpUntil([&] { return result.has_value(); }));
        EXPECT_EQ(result->kind, c.kind) << c.text.value_or("(no file)");
        EXPECT_EQ(result->version, c.version);
        if (c.kind == Kind::available) {
            EXPECT_EQ(result->url, "https://updates.quillmere.invalid/1.10");
        }
        if (c.kind == Kind::failed) {
            EXPECT_FALSE(result->error.empty());
        }
    }
}

} // namespace
} // namespace quillmere
