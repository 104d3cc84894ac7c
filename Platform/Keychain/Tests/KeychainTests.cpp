#include "Platform/Keychain/AtomicFile.h"
#include "Platform/Keychain/Keychain.h"
#include "Platform/Keychain/KeychainItemFile.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

namespace quillmere {
namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

KeychainItem password(const std::string& service, const std::string& account, const std::string& data,
                      const std::string& label = "") {
    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = service;
    item.account = account;
    item.label = label;
    item.data = bytesOf(data);
    return item;
}

KeychainItem key(const std::string& tag, const std::string& applicationLabel, const std::string& data) {
    KeychainItem item;
    item.itemClass = KeychainItemClass::key;
    item.label = tag;
    item.applicationTag = bytesOf(tag);
    item.applicationLabel = bytesOf(applicationLabel);
    item.data = bytesOf(data);
    return item;
}

KeychainItem certificate(const std::string& label, const std::string& data) {
    KeychainItem item;
    item.itemClass = KeychainItemClass::certificate;
    item.label = label;
    item.data = bytesOf(data);
    return item;
}

KeychainQuery passwordQuery(const std::string& service, const std::string& account) {
    KeychainQuery query;
    query.service = service;
    query.account = account;
    return query;
}

KeychainQuery byTag(const std::string& tag) {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::key;
    query.applicationTag = bytesOf(tag);
    return query;
}

KeychainQuery byLabel(KeychainItemClass itemClass, const std::string& label) {
    KeychainQuery query;
    query.itemClass = itemClass;
    query.label = label;
    return query;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

class KeychainTest : public ::testing::Test {
protected:
    testing::TemporaryFolder folder;
    std::filesystem::path root = folder.path() / "data" / "quillmere" / "keychain";
    Keychain keychain{root};
};

TEST_F(KeychainTest, FindsWhatWasAddedAndNothingElse) {
    const KeychainItem item = password("service", "account", "secret", "label");
    EXPECT_EQ(keychain.copyFirst(passwordQuery("service", "account")).error(), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.add(item), KeychainStatus::success);
    EXPECT_EQ(keychain.copyFirst(passwordQuery("service", "account")).value(), item);
    EXPECT_EQ(keychain.copyFirst(passwordQuery("service", "other")).error(), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.copyFirst(byLabel(KeychainItemClass::genericPassword, "label")).value(), item);
    EXPECT_EQ(keychain.copyFirst(byLabel(KeychainItemClass::certificate, "label")).error(),
              KeychainStatus::itemNotFound);
    // Another keychain over the same folder sees the same item.
    EXPECT_EQ(Keychain(root).copyFirst(passwordQuery("service", "account")).value(), item);
}

TEST_F(KeychainTest, DuplicatesFollowEachClassesIdentity) {
    EXPECT_EQ(keychain.add(password("s", "a", "one")), KeychainStatus::success);
    EXPECT_EQ(keychain.add(password("s", "a", "two", "other label")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.add(password("s", "b", "two")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyFirst(passwordQuery("s", "a"))->data, bytesOf("one"));

    EXPECT_EQ(keychain.add(key("tag", "key one", "k1")), KeychainStatus::success);
    EXPECT_EQ(keychain.add(key("tag", "key two", "k2")), KeychainStatus::success);
    EXPECT_EQ(keychain.add(key("tag", "key one", "k3")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyAll(byTag("tag"))->size(), 2u);

    EXPECT_EQ(keychain.add(certificate("first", "der")), KeychainStatus::success);
    EXPECT_EQ(keychain.add(certificate("second", "der")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.add(certificate("first", "other der")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyAll(byLabel(KeychainItemClass::certificate, "first"))->size(), 2u);
}

TEST_F(KeychainTest, UpdateReplacesTheDataAlone) {
    EXPECT_EQ(keychain.update(passwordQuery("s", "a"), viewOf(bytesOf("x"))), KeychainStatus::itemNotFound);
    ASSERT_EQ(keychain.add(password("s", "a", "old", "kept label")), KeychainStatus::success);
    EXPECT_EQ(keychain.update(passwordQuery("s", "a"), viewOf(bytesOf("new"))), KeychainStatus::success);
    EXPECT_EQ(keychain.copyFirst(passwordQuery("s", "a")).value(), password("s", "a", "new", "kept label"));

    // A certificate is its bytes: new bytes may not take another's place.
    ASSERT_EQ(keychain.add(certificate("c", "one")), KeychainStatus::success);
    ASSERT_EQ(keychain.add(certificate("d", "two")), KeychainStatus::success);
    EXPECT_EQ(keychain.update(byLabel(KeychainItemClass::certificate, "c"), viewOf(bytesOf("two"))),
              KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.update(byLabel(KeychainItemClass::certificate, "c"), viewOf(bytesOf("three"))),
              KeychainStatus::success);
    EXPECT_EQ(keychain.copyAll(byLabel(KeychainItemClass::certificate, "c")).value(),
              std::vector<KeychainItem>{certificate("c", "three")});
    EXPECT_EQ(keychain.add(certificate("e", "one")), KeychainStatus::success);
}

TEST_F(KeychainTest, RemoveDeletesEveryMatchAndNothingElse) {
    ASSERT_EQ(keychain.add(key("tag", "1", "k1")), KeychainStatus::success);
    ASSERT_EQ(keychain.add(key("tag", "2", "k2")), KeychainStatus::success);
    ASSERT_EQ(keychain.add(key("other", "3", "k3")), KeychainStatus::success);
    ASSERT_EQ(keychain.add(password("s", "tag", "p")), KeychainStatus::success);
    EXPECT_EQ(keychain.remove(byTag("tag")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyAll(byTag("tag")).error(), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(byTag("tag")), KeychainStatus::itemNotFound);
    EXPECT_TRUE(keychain.copyFirst(byTag("other")).has_value());
    EXPECT_TRUE(keychain.copyFirst(passwordQuery("s", "tag")).has_value());
}

TEST_F(KeychainTest, NothingIsMadeOnDiskByReading) {
    EXPECT_EQ(keychain.copyAll(byTag("tag")).error(), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.remove(byTag("tag")), KeychainStatus::itemNotFound);
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST_F(KeychainTest, FolderAndFilesArePrivateToTheUser) {
    const mode_t previous = ::umask(0);
    ASSERT_EQ(keychain.add(password("s", "a", "secret")), KeychainStatus::success);
    ::umask(previous);
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root.parent_path()), 0700u);
    for (const auto& entry : std::filesystem::directory_iterator(root)) EXPECT_EQ(modeOf(entry.path()), 0600u);

    // Opened up by hand: closed again before use, the lock too.
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    for (const auto& entry : std::filesystem::directory_iterator(root)) ASSERT_EQ(::chmod(entry.path().c_str(), 0644), 0);
    ASSERT_EQ(keychain.update(passwordQuery("s", "a"), viewOf(bytesOf("again"))), KeychainStatus::success);
    EXPECT_EQ(modeOf(root), 0700u);
    for (const auto& entry : std::filesystem::directory_iterator(root)) EXPECT_EQ(modeOf(entry.path()), 0600u);
}

TEST_F(KeychainTest, ARecordThatCannotBeTakenForItsItemIsAnErrorAndStaysAsItIs) {
    const KeychainItem item = password("s", "a", "secret");
    const KeychainItem other = password("s", "b", "other");
    ASSERT_EQ(keychain.add(item), KeychainStatus::success);
    const std::filesystem::path file = root / KeychainItemFile::nameOf(item);
    const Bytes whole = *AtomicFile::read(file);
    const std::filesystem::path good = folder.path() / "good copy";
    std::filesystem::copy_file(file, good);
    Bytes flipped = whole;
    flipped[whole.size() - 40] ^= 0x01;
    Bytes newer = whole;
    newer[3] = '2';
    auto write = [&](const Bytes& bytes) {
        std::filesystem::remove(file);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    struct Case {
        const char* name;
        std::function<void()> damage;
        const char* reason;
        KeychainOutcome::Fault fault = KeychainOutcome::Fault::other;
    };
    const Case cases[] = {
        {"empty", [&] { write({}); }, "is damaged"},
        {"cut short", [&] { write(Bytes(whole.begin(), whole.begin() + 3)); }, "is damaged"},
        {"half", [&] { write(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2))); }, "is damaged"},
        {"one bit flipped", [&] { write(flipped); }, "is damaged"},
        {"a newer format", [&] { write(newer); }, "holds a record of a newer format (version 2) than this version",
         KeychainOutcome::Fault::newerFormat},
        {"another item's record", [&] { write(KeychainItemFile::encode(other)); }, "holds another item's record"},
        {"symbolic link to a good copy",
         [&] {
             std::filesystem::remove(file);
             std::filesystem::create_symlink(good, file);
         },
         "is a symbolic link"},
        {"named pipe",
         [&] {
             std::filesystem::remove(file);
             ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
         },
         "is not a plain file"},
    };
    for (const Case& c : cases) {
        c.damage();
        const auto before = std::filesystem::symlink_status(file).type();
        const auto bytes = std::filesystem::is_regular_file(std::filesystem::symlink_status(file)) ? AtomicFile::read(file) : std::nullopt;
        const auto found = keychain.copyFirst(passwordQuery("s", "a"));
        ASSERT_FALSE(found.has_value()) << c.name;
        EXPECT_EQ(found.error(), KeychainStatus::decode) << c.name;
        EXPECT_EQ(found.error().file, file) << c.name;
        EXPECT_TRUE(found.error().reason.starts_with(c.reason)) << c.name << ": " << found.error().reason;
        EXPECT_EQ(found.error().fault, c.fault) << c.name;
        // Nor does a search over the whole class take it for nothing.
        EXPECT_EQ(keychain.copyAll(KeychainQuery{}).error(), KeychainStatus::decode) << c.name;
        EXPECT_EQ(keychain.add(item), KeychainStatus::decode) << c.name;
        EXPECT_EQ(keychain.update(passwordQuery("s", "a"), viewOf(bytesOf("new"))), KeychainStatus::decode) << c.name;
        EXPECT_EQ(keychain.remove(passwordQuery("s", "a")), KeychainStatus::decode) << c.name;
        EXPECT_EQ(std::filesystem::symlink_status(file).type(), before) << c.name;
        if (bytes) {
            EXPECT_EQ(AtomicFile::read(file), bytes) << c.name;
        }
    }
    EXPECT_EQ(AtomicFile::read(good), whole);
    // Readable records of other items are still found beside a damaged one.
    ASSERT_EQ(keychain.add(other), KeychainStatus::success);
    EXPECT_EQ(keychain.copyAll(KeychainQuery{}).value(), std::vector<KeychainItem>{other});
}

// Modes hold root back from nothing: they are tried as another account.
TEST(KeychainModes, AnUnreadableRecordAndAFolderThatCannotBeWrittenSayWhichIsAtFault) {
    testing::OtherAccount other(54322);
    const auto place = other.folder();
    if (!place) GTEST_SKIP() << place.error();
    const KeychainItem item = password("s", "a", "secret");
    struct Case {
        const char* name;
        mode_t folder;
        mode_t record;
        // What is refused: a read of the record, else a change to it.
        bool read;
        bool atFolder;
        KeychainOutcome::Fault fault;
    };
    const Case cases[] = {
        {"record of mode 000", 0700, 0000, true, false, KeychainOutcome::Fault::unreadable},
        {"folder of mode 0500", 0500, 0600, false, true, KeychainOutcome::Fault::other},
    };
    for (const Case& c : cases) {
        const Keychain keychain(*place / c.name);
        const auto file = keychain.fileOf(item);
        testing::ChildProcess child = testing::ChildProcess::fork([&] {
            if (!other.become() || keychain.add(item) != KeychainStatus::success) return 1;
            if (::chmod(file.c_str(), c.record) != 0 || ::chmod(keychain.root().c_str(), c.folder) != 0) return 2;
            const auto found = keychain.copyFirst(passwordQuery("s", "a"));
            const KeychainOutcome outcome =
                c.read ? (found ? KeychainOutcome() : found.error())
                       : keychain.update(passwordQuery("s", "a"), viewOf(bytesOf("new")));
            if (outcome.status != KeychainStatus::io) return 3;
            if (outcome.file != (c.atFolder ? keychain.root() : file)) return 4;
            return outcome.fault == c.fault ? 0 : 5;
        });
        EXPECT_EQ(child.wait(), 0) << c.name;
        ::chmod(keychain.root().c_str(), 0700);
    }
}

TEST_F(KeychainTest, TemporaryFilesAreIgnoredAndStaleOnesSwept) {
    ASSERT_EQ(keychain.add(password("s", "a", "one")), KeychainStatus::success);
    const Bytes record = KeychainItemFile::encode(password("s", "b", "two"));
    auto writeTemporary = [&](const std::string& name) {
        std::ofstream(root / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
    };
    writeTemporary(".tmp-stale");
    writeTemporary(".tmp-fresh");
    // A record the user renamed to set it aside is none.
    writeTemporary(KeychainItemFile::nameOf(password("s", "b", "two")) + ".damaged");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root / ".tmp-stale").c_str(), times, 0), 0);

    EXPECT_EQ(keychain.copyAll(KeychainQuery{})->size(), 1u);
    ASSERT_EQ(keychain.add(password("s", "c", "three")), KeychainStatus::success);
    EXPECT_FALSE(std::filesystem::exists(root / ".tmp-stale"));
    EXPECT_TRUE(std::filesystem::exists(root / ".tmp-fresh"));
}

TEST_F(KeychainTest, FailuresOfTheFolderAreIOErrors) {
    std::filesystem::create_directories(root.parent_path());
    std::ofstream(root) << "not a folder";
    EXPECT_EQ(keychain.add(password("s", "a", "x")), KeychainStatus::io);
    EXPECT_EQ(keychain.copyFirst(passwordQuery("s", "a")).error(), KeychainStatus::io);
    EXPECT_EQ(keychain.remove(passwordQuery("s", "a")), KeychainStatus::io);
}

TEST(KeychainRoot, FollowsXdgDataHomeWhenAbsolute) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("XDG_DATA_HOME", "/somewhere/data", 1);
    EXPECT_EQ(Keychain::standardRoot().value(), std::filesystem::path("/somewhere/data/quillmere/keychain"));
    ::setenv("XDG_DATA_HOME", "relative/data", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Keychain::standardRoot().value(), std::filesystem::path("/home/someone/.local/share/quillmere/keychain"));
    if (saved != nullptr) ::setenv("XDG_DATA_HOME", previous.c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace quillmere
