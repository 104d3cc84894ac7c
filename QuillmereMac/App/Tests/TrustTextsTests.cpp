#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "TestSupport/ChildProcess.h"

#include <fstream>
#include <regex>

#include <sys/stat.h>

namespace quillmere {
namespace {

using testing::LaunchedHost;

// A code where words belong: "versionMismatch(0)", "status(-36)", "(7)".
const std::regex code(R"([A-Za-z_]\(|\(\s*[-\w."]+\s*\))");

constexpr std::string_view afresh = "ove it aside to start afresh; paired iPhones then pair again.";
constexpr std::string_view newer = "If a newer Quillmere wrote it, use that one.";
constexpr std::string_view lockHoldsNothing = "it holds nothing and can be removed";

// A stored list of one device, "Phone", with one byte changed or added.
Bytes listWith(std::size_t offset, std::uint8_t value) {
    Bytes blob = *TrustStore::encode(std::vector<TrustedPeer>{
        TrustedPeer(WireID{}, Digest32{}, "Phone", PeerRole::client, 1)});
    if (offset >= blob.size()) blob.resize(offset + 1);
    blob[offset] = value;
    return blob;
}
// Where the fields of the first entry lie: after version and count, the
// identifier (16) and the fingerprint (32).
constexpr std::size_t nameLength = 2 + 16 + 32;
constexpr std::size_t nameStart = nameLength + 1;
constexpr std::size_t role = nameStart + 5;

TEST(TrustTexts, EveryFailureIsInWordsWithAdviceThatFitsTheFile) {
    testing::TemporaryFolder folder;
    const std::string record = (folder.path() / "keychain" / "password-82").string();
    const auto corrupt = [&](const Bytes& blob) {
        return CompositionError{TrustStore::decode(viewOf(blob)).error().at(record)};
    };
    // Lock files as a change finds them.
    const Keychain keychain(folder.path() / "keychain", std::chrono::milliseconds(100));
    ASSERT_EQ(keychain.exclusively([](const Keychain&) {}), KeychainStatus::success);
    const auto lockOutcome = [&] {
        const KeychainOutcome outcome = keychain.exclusively([](const Keychain&) {});
        return CompositionError{IdentityError::keychain(outcome.status, outcome.description(), outcome.file)};
    };
    ASSERT_EQ(::chmod(keychain.lockFile().c_str(), 0666), 0);
    const CompositionError spoiledLock = lockOutcome();
    ASSERT_EQ(::chmod(keychain.lockFile().c_str(), 0600), 0);
    std::optional<CompositionError> heldLock;
    {
        const auto holder = testing::ChildProcess::holdingLock(keychain.lockFile());
        heldLock = lockOutcome();
    }

    struct Case {
        const char* name;
        CompositionError error;
        std::string says;
        std::string_view advice; // empty: none
    };
    const Case cases[] = {
        {"newer format", corrupt(Bytes{2, 0}),
         record + " holds paired devices in a newer format (version 2) than this version of Quillmere reads", newer},
        {"unknown format", corrupt(Bytes{0, 0}),
         record + " holds paired devices in a format that this version of Quillmere does not know (version 0)", afresh},
        {"cut short", corrupt(Bytes{1}), record + " is damaged: its list of paired devices ends too soon", afresh},
        {"too many", corrupt(Bytes{1, 33}), record + " is damaged: it counts more than 32 paired devices", afresh},
        {"unknown role", corrupt(listWith(role, 7)),
         record + " gives a paired device role 7, which this version of Quillmere does not know", afresh},
        {"long name", corrupt(listWith(nameLength, 65)),
         record + " is damaged: a paired device's name is longer than 64 bytes", afresh},
        {"name not text", corrupt(listWith(nameStart, 0xFF)),
         record + " is damaged: a paired device's name is not UTF-8 text", afresh},
        {"bytes after the list", corrupt(listWith(role + 9, 0)),
         record + " is damaged: something follows its list of paired devices", afresh},
        {"keychain status alone",
         CompositionError{
             TrustStoreError::storage(KeychainTrustStorage::Failure::status(KeychainStatus::io).description())},
         "the paired iPhones could not be read: input/output error", afresh},
        {"identity's keychain status alone", CompositionError{IdentityError::keychain(KeychainStatus::io)},
         "the host's identity could not be read: input/output error", afresh},
        {"identity's key missing", CompositionError{IdentityError::identity(KeychainStatus::itemNotFound)},
         "its private key cannot be found: no such item", afresh},
        {"no random bytes", CompositionError{IdentityError::keyGeneration("random")},
         "the host's identity could not be made: its key could not be made: no random bytes could be drawn", {}},
        {"signing without a reason", CompositionError{IdentityError::signing("unknown")},
         "its certificate could not be signed: the system gave no reason", {}},
        {"certificate", CompositionError{IdentityError::certificate()}, "its certificate cannot be read or made",
         afresh},
        {"lock file others can write", spoiledLock,
         "the host's identity could not be made: " + keychain.lockFile().string() +
             " can be changed by other accounts (mode 0666); it holds nothing and can be removed.",
         lockHoldsNothing},
        {"lock held by a stopped host", *heldLock,
         "the host's identity could not be made: " + keychain.lockFile().string() +
             " is held by another Quillmere that does not answer; nothing was changed.",
         {}},
    };
    for (const Case& c : cases) {
        const std::string text = c.error.description();
        EXPECT_NE(text.find(c.says), std::string::npos) << c.name << ": " << text;
        EXPECT_FALSE(std::regex_search(text, code)) << c.name << ": " << text;
        if (!c.advice.empty()) {
            EXPECT_NE(text.find(c.advice), std::string::npos) << c.name << ": " << text;
        }
        // Moving a record aside loses the pairings; nothing else says so.
        if (c.advice != afresh && c.advice != newer) {
            EXPECT_EQ(text.find("pair again"), std::string::npos) << c.name << ": " << text;
        }
    }
}

} // namespace
} // namespace quillmere
