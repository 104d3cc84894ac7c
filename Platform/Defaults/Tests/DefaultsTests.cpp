#include "Platform/Defaults/Defaults.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

constexpr std::string_view autoApprove = "QuillmereMacAutoApprovePairedSessions";

std::string bytesOf(const std::filesystem::path& file) {
    std::stringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

std::string shown(const QVariant& value) { return value.isValid() ? value.toString().toStdString() : "(none)"; }

class DefaultsTest : public ::testing::Test {
protected:
    testing::TemporaryFolder folder;
    std::filesystem::path file = folder.path() / "quillmere" / "quillmere.ini";
};

TEST_F(DefaultsTest, RegisteredDefaultsAnswerUntilAValueIsStored) {
    Defaults defaults(file);
    EXPECT_FALSE(defaults.boolForKey(autoApprove));
    defaults.registerDefaults({{QString::fromUtf8(autoApprove.data(), autoApprove.size()), true}});
    EXPECT_TRUE(defaults.boolForKey(autoApprove));
    defaults.setValue(autoApprove, false);
    EXPECT_FALSE(defaults.boolForKey(autoApprove));
    // Registration is not stored: a fresh instance sees only the stored false.
    EXPECT_FALSE(Defaults(file).objectForKey(autoApprove).toBool());
    EXPECT_TRUE(Defaults(file).objectForKey(autoApprove).isValid());
    defaults.removeObject(autoApprove);
    EXPECT_TRUE(defaults.boolForKey(autoApprove));
    EXPECT_FALSE(Defaults(file).objectForKey(autoApprove).isValid());
}

TEST_F(DefaultsTest, StoredValuesReadBackAfterReopening) {
    {
        Defaults defaults(file);
        defaults.setValue("QuillmereMacTestPatternEnabled", true);
        defaults.setValue("count", 42);
        defaults.setValue("ratio", 0.4);
        defaults.setValue("name", QString("grüße"));
        defaults.setValue("QuillmereDisplayOriginalMode",
                          QVariantMap{{"display", 1}, {"width", 1512}, {"height", 982}, {"refresh", 59.94}});
        EXPECT_TRUE(defaults.lastWriteSucceeded());
    }
    Defaults reopened(file);
    EXPECT_TRUE(reopened.boolForKey("QuillmereMacTestPatternEnabled"));
    EXPECT_EQ(reopened.integerForKey("count"), 42);
    EXPECT_DOUBLE_EQ(reopened.doubleForKey("ratio"), 0.4);
    EXPECT_EQ(reopened.stringForKey("name"), "grüße");
    auto mode = reopened.dictionaryForKey("QuillmereDisplayOriginalMode");
    ASSERT_TRUE(mode.has_value());
    EXPECT_EQ((*mode)["display"].toInt(), 1);
    EXPECT_EQ((*mode)["width"].toInt(), 1512);
    EXPECT_DOUBLE_EQ((*mode)["refresh"].toDouble(), 59.94);
    EXPECT_FALSE(reopened.dictionaryForKey("count").has_value());

    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_NE(text.str().find("QuillmereMacTestPatternEnabled=true"), std::string::npos) << text.str();
}

TEST_F(DefaultsTest, ReadsValuesTheWayUserDefaultsDo) {
    Defaults defaults(file);
    EXPECT_FALSE(defaults.boolForKey("absent"));
    EXPECT_EQ(defaults.integerForKey("absent"), 0);
    EXPECT_EQ(defaults.doubleForKey("absent"), 0.0);
    EXPECT_FALSE(defaults.stringForKey("absent").has_value());

    defaults.setValue("yes", QString("YES"));
    defaults.setValue("word", QString("abc"));
    defaults.setValue("twelve", QString("12"));
    defaults.setValue("zero", 0);
    defaults.setValue("half", QString("2.5"));
    EXPECT_TRUE(defaults.boolForKey("yes"));
    EXPECT_FALSE(defaults.boolForKey("word"));
    EXPECT_TRUE(defaults.boolForKey("twelve"));
    EXPECT_FALSE(defaults.boolForKey("zero"));
    EXPECT_EQ(defaults.integerForKey("twelve"), 12);
    EXPECT_EQ(defaults.integerForKey("word"), 0);
    EXPECT_EQ(defaults.integerForKey("half"), 2);
    EXPECT_DOUBLE_EQ(defaults.doubleForKey("half"), 2.5);
    EXPECT_EQ(defaults.stringForKey("zero"), "0");
}

TEST_F(DefaultsTest, ObserversHearWritesToTheirKeyOnly) {
    Defaults defaults(file);
    std::vector<std::string> heard;
    bool valueSeen = false;
    const auto id = defaults.observe(autoApprove, [&](const std::string& key) {
        heard.push_back(key);
        valueSeen = defaults.boolForKey(key); // reading back inside the observer is allowed
    });
    defaults.setValue(autoApprove, true);
    EXPECT_TRUE(valueSeen);
    defaults.setValue("other", 1);
    defaults.removeObject(autoApprove);
    defaults.removeObserver(id);
    defaults.setValue(autoApprove, true);
    EXPECT_EQ(heard, (std::vector<std::string>{std::string(autoApprove), std::string(autoApprove)}));
}

TEST_F(DefaultsTest, WritesFromManyThreadsAreAllKept) {
    {
        Defaults defaults(file);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&defaults, t] {
                for (int i = 0; i < 25; ++i) defaults.setValue("key" + std::to_string(t * 100 + i), t * 100 + i);
            });
        for (auto& writer : writers) writer.join();
    }
    Defaults reopened(file);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i) EXPECT_EQ(reopened.integerForKey("key" + std::to_string(t * 100 + i)), t * 100 + i);
}

TEST_F(DefaultsTest, AWriteThatCannotReachTheFileIsReported) {
    std::ofstream(folder.path() / "plain") << "a file, not a folder";
    Defaults defaults(folder.path() / "plain" / "quillmere.ini");
    defaults.setValue("key", 1);
    EXPECT_FALSE(defaults.lastWriteSucceeded());
}

// A save that failed leaves nothing to be written later: what another process
// saves afterwards stays through the next save of another key here.
TEST_F(DefaultsTest, ASaveThatFailedLeavesNothingForALaterSaveToWrite) {
    const QVariant none;
    const std::pair<QVariant, QVariant> cases[] = {{false, false}, {none, 2}, {3, none}}; // failed here, saved there
    int index = 0;
    for (const auto& [failed, there] : cases) {
        const auto file = folder.path() / std::to_string(index++) / "quillmere.ini";
        const auto kept = file.string() + ".kept";
        Defaults here(file);
        ASSERT_TRUE(here.setValue(autoApprove, true));
        // A folder where the file belongs: root cannot write it either.
        std::filesystem::rename(file, kept);
        std::filesystem::create_directory(file);
        EXPECT_FALSE(here.setValue(autoApprove, failed)) << index;
        EXPECT_EQ(shown(here.objectForKey(autoApprove)), "true") << index;
        std::filesystem::remove(file);
        std::filesystem::rename(kept, file);
        auto other = testing::ChildProcess::fork([&] { return Defaults(file).setValue(autoApprove, there) ? 0 : 1; });
        ASSERT_EQ(other.wait(), 0);
        ASSERT_TRUE(here.setValue("QuillmereMacTestPatternEnabled", true));
        EXPECT_EQ(shown(Defaults(file).objectForKey(autoApprove)), shown(there)) << index << ": " << bytesOf(file);
        EXPECT_EQ(shown(here.objectForKey(autoApprove)), shown(there)) << index;
    }
}

// The folder is named when no file can be made in it, the file when it alone
// is read-only; nothing changes, in memory either. Root writes anywhere: as
// root, the saves run in a user namespace, without that power.
TEST_F(DefaultsTest, ASaveThatFailsNamesWhatCouldNotBeWritten) {
    const auto settings = file.parent_path(), told = folder.path() / "told";
    const struct {
        std::filesystem::path blocked;
        mode_t mode, after;
        std::string said;
    } cases[] = {{settings, 0500, 0700, settings.string() + ": this folder cannot be written to: permission denied"},
                 {file, 0400, 0600, file.string() + ": permission denied"}};
    ASSERT_TRUE(Defaults(file).setValue(autoApprove, true));
    const std::string before = bytesOf(file);
    for (const auto& c : cases) {
        auto saving = testing::ChildProcess::fork([&] {
            if (::geteuid() == 0 && ::unshare(CLONE_NEWUSER) != 0) return 77;
            Defaults defaults(file);
            ::chmod(c.blocked.c_str(), c.mode);
            const auto saved = defaults.setValue(autoApprove, false);
            ::chmod(c.blocked.c_str(), c.after);
            std::ofstream(told) << (saved ? "saved" : saved.error().description()) << "|"
                                << shown(defaults.objectForKey(autoApprove));
            return 0;
        });
        const int status = saving.wait();
        if (status == 77) GTEST_SKIP() << "no user namespace takes root's power to write anywhere away here";
        ASSERT_EQ(status, 0);
        EXPECT_EQ(bytesOf(told), c.said + "|true");
        EXPECT_EQ(bytesOf(file), before);
    }
}

TEST_F(DefaultsTest, RemovingWhatIsNotThereSucceeds) {
    for (const char* text : {static_cast<const char*>(nullptr), "[General]\nQuillmereMacTestPatternEnabled=true\n"}) {
        std::filesystem::remove_all(file.parent_path());
        if (text != nullptr) folder.write(file.lexically_relative(folder.path()), text);
        Defaults defaults(file);
        EXPECT_TRUE(defaults.removeObject(autoApprove)) << (text ? text : "no file");
        EXPECT_TRUE(defaults.lastWriteSucceeded());
        EXPECT_EQ(std::filesystem::exists(file) ? bytesOf(file) : "", text ? text : "");
    }
}

// A damaged file goes beside the copies kept before, under the name told of
// or, when that was taken since, the next free one; none is lost.
TEST_F(DefaultsTest, ADamagedFileIsKeptBesideEarlierCopies) {
    const struct {
        std::vector<std::string> earlier; // suffixes of copies already kept
        std::string told, keptAs;
        bool takenSince;
    } cases[] = {{{".damaged"}, ".damaged-2", ".damaged-2", false},
                 {{".damaged", ".damaged-2", ".damaged-4"}, ".damaged-3", ".damaged-3", false},
                 {{".damaged"}, ".damaged-2", ".damaged-3", true}};
    for (const auto& c : cases) {
        std::filesystem::remove_all(file.parent_path());
        const std::string relative = file.lexically_relative(folder.path()).string(), damaged(16, '\0');
        folder.write(relative, damaged);
        for (const auto& suffix : c.earlier) folder.write(relative + suffix, suffix);
        Defaults defaults(file);
        ASSERT_TRUE(defaults.unread() && defaults.unread()->keptAs);
        EXPECT_EQ(defaults.unread()->keptAs->string(), file.string() + c.told);
        if (c.takenSince) folder.write(relative + c.told, "taken since");
        EXPECT_TRUE(defaults.setValue(autoApprove, false)) << c.keptAs;
        EXPECT_EQ(defaults.unread()->keptAs->string(), file.string() + c.keptAs);
        EXPECT_EQ(bytesOf(file.string() + c.keptAs), damaged) << c.keptAs;
        for (const auto& suffix : c.earlier) EXPECT_EQ(bytesOf(file.string() + suffix), suffix);
        EXPECT_EQ(bytesOf(file.string() + c.told), c.takenSince ? "taken since" : damaged);
        EXPECT_EQ(shown(Defaults(file).objectForKey(autoApprove)), "false") << c.keptAs;
    }
}

TEST(DefaultsFile, FollowsXdgConfigHomeWhenAbsolute) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
    EXPECT_EQ(Defaults::standardFile().value(), std::filesystem::path("/somewhere/config/quillmere/quillmere.ini"));
    ::setenv("XDG_CONFIG_HOME", "config", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Defaults::standardFile().value(), std::filesystem::path("/home/someone/.config/quillmere/quillmere.ini"));
    if (saved != nullptr) ::setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace quillmere
