#include "Platform/Defaults/Defaults.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <future>
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

// Settings kept elsewhere through a link are used when each folder a link
// leads into is this account's alone; a settings folder that is a link, or a
// folder on the way that another account could change, is refused, and
// nothing is written through it.
TEST_F(DefaultsTest, SettingsThroughALinkAreUsedOnlyFromFoldersOfTheAccountsOwn) {
    const auto kept = folder.path() / "kept", open = folder.path() / "open", settings = file.parent_path();
    const std::string stored = "[General]\nQuillmereMacAutoApprovePairedSessions=false\n";
    const std::pair<std::vector<std::pair<std::filesystem::path, std::filesystem::path>>, std::string> rows[] = {
        {{{file, kept / "quillmere.ini"}}, ""},
        {{{settings, kept}}, settings.string() + " is a symbolic link, not a folder"},
        {{{file, open / "quillmere.ini"}}, open.string() + " can be changed by other accounts (mode 0777)"},
        {{{file, open / "next"}, {open / "next", kept / "quillmere.ini"}},
         open.string() + " can be changed by other accounts (mode 0777)"},
    };
    for (const auto& [links, refused] : rows) {
        for (const auto& made : {settings, kept, open}) std::filesystem::remove_all(made);
        folder.write(kept / "quillmere.ini", stored);
        folder.write(open / "quillmere.ini", stored);
        ASSERT_EQ(::chmod(kept.c_str(), 0700) | ::chmod(open.c_str(), 0777), 0);
        if (links.front().first == file) std::filesystem::create_directory(settings);
        for (const auto& [link, target] : links) std::filesystem::create_symlink(target, link);
        Defaults defaults(file);
        const auto unread = defaults.unread();
        EXPECT_EQ(unread && unread->kind == DefaultsFileProblem::Kind::refused ? unread->description() : "", refused);
        EXPECT_EQ(defaults.setValue(autoApprove, true).has_value(), refused.empty()) << refused;
        EXPECT_EQ(bytesOf(kept / "quillmere.ini") == stored, !refused.empty()) << refused;
        EXPECT_EQ(bytesOf(open / "quillmere.ini"), stored);
        EXPECT_TRUE(std::filesystem::is_symlink(links.front().first));
    }
}

// A failed save leaves nothing pending: what another process saves next
// stays through this one's next save of another key. Removing what is not
// there, in a file or none, succeeds.
TEST_F(DefaultsTest, ASaveThatFailedLeavesNothingForALaterSaveToWrite) {
    const QVariant none;
    const std::pair<QVariant, QVariant> cases[] = {{false, false}, {none, 2}, {3, none}}; // failed here, saved there
    for (const auto& [failed, there] : cases) {
        std::filesystem::remove_all(file.parent_path());
        Defaults here(file);
        ASSERT_TRUE(here.setValue(autoApprove, true));
        std::filesystem::remove(file);
        std::filesystem::create_directory(file); // in root's way too
        EXPECT_FALSE(here.setValue(autoApprove, failed));
        EXPECT_EQ(shown(here.objectForKey(autoApprove)), "true");
        std::filesystem::remove(file);
        auto other = testing::ChildProcess::fork([&] { return Defaults(file).setValue(autoApprove, there) ? 0 : 1; });
        ASSERT_EQ(other.wait(), 0);
        ASSERT_TRUE(here.setValue("QuillmereMacTestPatternEnabled", true));
        EXPECT_EQ(shown(Defaults(file).objectForKey(autoApprove)), shown(there)) << bytesOf(file);
        EXPECT_EQ(shown(here.objectForKey(autoApprove)), shown(there));
        EXPECT_TRUE(here.removeObject("absent"));
    }
}

// A save waits for the settings lock that another process holds, up to its
// bound, while reads on other threads answer at once; once the lock goes it
// completes over what that process saved since, a removal of a key that only
// it wrote included. One asked for without waiting returns at once, and
// lands before one asked for after it. A lock file left by a program that
// only took its flock is let go with it.
TEST_F(DefaultsTest, ASaveWaitsForTheSettingsLockWhileReadsAnswerAtOnce) {
    enum LetGo { kept, withItsFile, fileLeft };
    // The change, how the lock goes, whether the caller waits; approval and their key as the file then holds
    // them, and as read here.
    const std::tuple<std::string_view, QVariant, LetGo, bool, std::string> cases[] = {
        {autoApprove, false, withItsFile, true, "false|1 false|1"},
        {"theirs", QVariant(), withItsFile, true, "true|(none) true|(none)"},
        {autoApprove, false, kept, true, "true|1 true|(none)"},
        {autoApprove, false, withItsFile, false, "false|1 false|1"},
        {autoApprove, false, fileLeft, true, "false|1 false|1"}};
    const std::string lock = file.string() + ".lock";
    const auto both = [](const Defaults& defaults) {
        return shown(defaults.objectForKey(autoApprove)) + "|" + shown(defaults.objectForKey("theirs"));
    };
    for (const auto& [key, value, letGo, waits, after] : cases) {
        std::filesystem::remove_all(file.parent_path());
        Defaults here(file);
        ASSERT_TRUE(here.setValue(autoApprove, true));
        ASSERT_EQ(testing::ChildProcess::fork([&] { return Defaults(file).setValue("theirs", 1) ? 0 : 1; }).wait(), 0);
        auto holder = testing::ChildProcess::holdingLock(lock);
        std::promise<std::expected<void, DefaultsError>> done;
        auto saving = done.get_future();
        auto waiting = waits ? std::async(std::launch::async, [&] { done.set_value(here.setValue(key, value)); })
                             : std::future<void>();
        if (!waits) {
            const auto asked = std::chrono::steady_clock::now();
            here.setValue(key, QString("earlier"), nullptr);
            here.setValue(key, value, [&](const auto& saved) { done.set_value(saved); });
            EXPECT_LT(std::chrono::steady_clock::now() - asked, Defaults::lockWait / 2) << "waited for the lock";
        }
        // Its new file stands beside the file and the lock before it waits.
        ASSERT_TRUE(testing::eventually(
            [&] { return std::distance(std::filesystem::directory_iterator(file.parent_path()), {}) == 3; }));
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(shown(here.objectForKey(autoApprove)), "true");
        EXPECT_LT(std::chrono::steady_clock::now() - asked, Defaults::lockWait / 2) << "read waited for the lock";
        EXPECT_EQ(saving.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "saved under their lock";
        // Let go as QLockFile lets go, its file with it, or as flock(1) does.
        if (letGo != kept) holder.stop();
        if (letGo == withItsFile) std::filesystem::remove(lock);
        const auto saved = saving.get();
        EXPECT_EQ(saved ? "saved" : saved.error().description(),
                  letGo != kept ? "saved" : file.string() + ": another program holds " + lock + " and does not let it go");
        EXPECT_EQ(both(Defaults(file)) + " " + both(here), after);
    }
}

// The folder is named when no file can be made in it, the file when it alone
// is read-only. Root saves in a user namespace, without its power over files.
TEST_F(DefaultsTest, ASaveThatFailsNamesWhatCouldNotBeWritten) {
    const auto settings = file.parent_path(), told = folder.path() / "told";
    const std::tuple<std::filesystem::path, mode_t, std::string> cases[] = {
        {settings, 0500, settings.string() + ": this folder cannot be written to: permission denied"},
        {file, 0400, file.string() + ": permission denied"},
        // A full disk, as a file size limit makes one: no other program's lock.
        {{}, 0, settings.string() + ": this folder cannot be written to: file too large"}};
    ASSERT_TRUE(Defaults(file).setValue(autoApprove, true));
    for (const auto& [blocked, mode, said] : cases) {
        const int status = testing::ChildProcess::fork([&] {
            if (::geteuid() == 0 && ::unshare(CLONE_NEWUSER) != 0) return 77;
            Defaults defaults(file);
            const rlimit none{0, RLIM_INFINITY}, any{RLIM_INFINITY, RLIM_INFINITY};
            if (blocked.empty() && (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &none) != 0))
                return 1;
            ::chmod(blocked.c_str(), mode);
            const auto saved = defaults.setValue(autoApprove, false);
            ::chmod(blocked.c_str(), mode | 0200);
            ::setrlimit(RLIMIT_FSIZE, &any);
            std::ofstream(told) << (saved ? "saved" : saved.error().description()) << "|"
                                << shown(defaults.objectForKey(autoApprove));
            return 0;
        }).wait();
        if (status == 77) GTEST_SKIP() << "no user namespace takes root's power to write anywhere away here";
        ASSERT_EQ(status, 0);
        EXPECT_EQ(bytesOf(told), said + "|true");
    }
}

// A damaged file goes beside the copy kept before, under the name told of
// or, when a copy took that since, the next free one: none is lost.
TEST_F(DefaultsTest, ADamagedFileIsKeptBesideEarlierCopies) {
    const std::string damaged(16, '\0'), told = file.string() + ".damaged-2", keptAs = file.string() + ".damaged-3";
    folder.write(file, damaged);
    folder.write(file.string() + ".damaged", "earlier");
    Defaults defaults(file);
    ASSERT_EQ(defaults.unread() ? defaults.unread()->keptAs.value_or("").string() : "", told);
    folder.write(told, "taken since");
    EXPECT_TRUE(defaults.setValue(autoApprove, false));
    EXPECT_EQ(defaults.unread()->keptAs->string(), keptAs);
    EXPECT_EQ(bytesOf(keptAs), damaged);
    EXPECT_EQ(bytesOf(file.string() + ".damaged"), "earlier");
    EXPECT_EQ(bytesOf(told), "taken since");
    EXPECT_EQ(shown(Defaults(file).objectForKey(autoApprove)), "false");
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
