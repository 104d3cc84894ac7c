#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Log/MemoryLogSink.h"
#include "Platform/Pasteboard/ClipboardReaderX11.h"
#include "Platform/Pasteboard/SystemPasteboard.h"
#include "Platform/Pasteboard/Tests/ClipboardOwner.h"
#include "Platform/Pasteboard/Tests/QtGuiThread.h"
#include "Platform/Pasteboard/Tests/Xclip.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>

namespace quillmere {
namespace {

class SystemPasteboardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new testing::XvfbServer();
        if (server_->ready()) gui_ = new testing::QtGuiThread(server_->displayName());
    }
    static void TearDownTestSuite() {
        delete gui_;
        delete server_;
    }
    void SetUp() override { ASSERT_TRUE(server_->ready()) << server_->failure(); }

    struct Read {
        std::optional<std::string> text;
        double seconds = 0;
        // The longest the main queue took to run work posted to it meanwhile.
        double longestTurnMs = 0;
    };

    // A read asked on the main queue, as the clipboard transfer asks it,
    // with the main queue pinged every 10 ms until the answer arrives there.
    Read readAndPing() {
        struct Shared {
            std::mutex mutex;
            std::optional<std::optional<std::string>> answer;
        };
        auto shared = std::make_shared<Shared>();
        const std::uint64_t start = Clock::nowNs();
        MainQueue::shared().async([this, shared] {
            pasteboard_.read([shared](std::optional<std::string> text) {
                const std::lock_guard lock(shared->mutex);
                shared->answer = std::move(text);
            });
        });
        Read read;
        const auto answered = [&] {
            const std::lock_guard lock(shared->mutex);
            return shared->answer.has_value();
        };
        std::uint64_t longestNs = 0;
        while (!answered() && Clock::nowNs() - start < 10'000'000'000) {
            auto ran = std::make_shared<std::atomic<bool>>(false);
            const std::uint64_t posted = Clock::nowNs();
            MainQueue::shared().async([ran] { ran->store(true); });
            testing::eventually([&] { return ran->load(); });
            longestNs = std::max(longestNs, Clock::nowNs() - posted);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        read.seconds = static_cast<double>(Clock::nowNs() - start) / 1e9;
        read.longestTurnMs = static_cast<double>(longestNs) / 1e6;
        const std::lock_guard lock(shared->mutex);
        if (shared->answer) read.text = *shared->answer;
        return read;
    }

    // The session's limit.
    static constexpr std::size_t longest = 60'000;
    static constexpr double boundSeconds = static_cast<double>(ClipboardReaderX11::answerBoundNs) / 1e9;

    static testing::XvfbServer* server_;
    static testing::QtGuiThread* gui_;
    SystemPasteboard pasteboard_{MainQueue::shared(), XcbConnection::opener(server_->displayName()), longest};
    testing::Xclip xclip_{server_->displayName()};
};

testing::XvfbServer* SystemPasteboardTest::server_ = nullptr;
testing::QtGuiThread* SystemPasteboardTest::gui_ = nullptr;

// Text both ways is shown end to end, through the host; here what is not text.
TEST_F(SystemPasteboardTest, ClipboardWithoutTextReadsAsNoneAndAWriteReplacesIt) {
    xclip_.input("\x89PNG", "image/png");
    ASSERT_TRUE(testing::eventually(
        [&] { return xclip_.output("-o -t TARGETS").find("image/png") != std::string::npos; }));
    EXPECT_EQ(readAndPing().text, std::nullopt);
    ASSERT_TRUE(pasteboard_.write("only text"));
    const std::string targets = xclip_.output("-o -t TARGETS");
    EXPECT_EQ(targets.find("image/png"), std::string::npos) << targets;
    EXPECT_EQ(xclip_.output("-o"), "only text");
}

// The owner is another program, or Qt on our own main thread: whatever it
// does, the main queue keeps its turns short and the read ends within its
// bound, with the text when the owner gave it, read no further than one
// byte past the limit; the owner is left able to serve it again.
TEST_F(SystemPasteboardTest, ReadsEndWithinTheirBoundWhileTheMainQueueKeepsAnswering) {
    const testing::TemporaryFolder folder;
    const std::string large(400'000, 'l');
    const std::string huge(1'100'000, 'q');
    std::optional<testing::ClipboardOwner> owner;
    std::optional<testing::ChildProcess> stopped;
    const struct Row {
        const char* owner;
        std::function<void()> set;
        std::optional<std::string> text;
        std::function<void()> then = [] {};
    } rows[] = {
        {"xclip, UTF-8", [&] { xclip_.input("h\u00e9llo \u2713 \u65e5\u672c"); }, "h\u00e9llo \u2713 \u65e5\u672c"},
        {"xclip, Latin-1 only", [&] { xclip_.input("caf\xe9", "STRING"); }, "caf\u00e9"},
        {"Qt, on the main queue", [&] { ASSERT_TRUE(pasteboard_.write("ours \u2713")); }, "ours \u2713"},
        // Answered while the owner holds back all but the first chunks past the limit.
        {"ours, 400 kB holding after 64 kB",
         [&] { ASSERT_TRUE(owner.emplace(server_->displayName(), large, 4'000, 16).owns()); },
         large.substr(0, longest + 1),
         [&] {
             owner->release();
             EXPECT_TRUE(testing::eventually([&] { return owner->transfersEnded() == 1; }));
             EXPECT_EQ(owner->errors(), 0);
         }},
        {"xclip, 1.1 MB", [&] { xclip_.input(huge); }, huge.substr(0, longest + 1),
         [&] { EXPECT_TRUE(xclip_.output("-o") == huge) << "xclip no longer serves its text whole"; }},
        {"xclip, stopped",
         [&] {
             const auto file = folder.path() / "x.txt";
             std::ofstream(file) << "x";
             stopped.emplace(std::vector<std::string>{"/usr/bin/xclip", "-quiet", "-selection", "clipboard", "-i",
                                                      file.string()},
                             testing::ChildProcess::Options{
                                 .environment = testing::environmentWith("DISPLAY", server_->displayName())});
             ASSERT_TRUE(testing::eventually([&] { return xclip_.output("-o") == "x"; }));
             stopped->signal(SIGSTOP);
         },
         std::nullopt,
         [&] {
             // Its late answer lands on a window that still exists: no error, which xclip would die of.
             stopped->signal(SIGCONT);
             EXPECT_TRUE(testing::eventually([&] { return xclip_.output("-o") == "x"; }));
             EXPECT_EQ(stopped->wait(std::chrono::milliseconds(0)), std::nullopt) << "xclip ended";
         }},
    };
    const auto sink = std::make_shared<MemoryLogSink>();
    const auto previous = setDefaultLogSink(sink);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.owner);
        row.set();
        const Read read = readAndPing();
        // Said short: a megabyte in the log helps nobody.
        EXPECT_TRUE(read.text == row.text)
            << "read " << (read.text ? std::to_string(read.text->size()) + " bytes: " + read.text->substr(0, 24) : "none");
        // Answered before the bound, or given up at it, not at a second one.
        EXPECT_LT(read.seconds, boundSeconds * (row.text ? 1 : 2));
        // A turn that waited for the owner would take as long as the bound.
        EXPECT_LT(read.longestTurnMs, boundSeconds * 1000 / 2);
        std::printf("%s: read in %.3f s, longest main-queue turn %.1f ms\n", row.owner, read.seconds,
                    read.longestTurnMs);
        row.then();
    }
    setDefaultLogSink(previous);
    // A line for each text read no further, and one naming the window that did not answer.
    const auto lines = sink->lines("control");
    ASSERT_EQ(lines.size(), 3u);
    for (const std::size_t line : {0u, 1u})
        EXPECT_EQ(lines[line], "the clipboard's text is longer than 60000 bytes; read no further");
    EXPECT_TRUE(std::regex_search(lines[2], std::regex("the clipboard's owner, window 0x[0-9a-f]+, did not answer "
                                                       "within 2 s; read as no text$")))
        << lines[2];
}

// An owner that answers after its read was given up, while the next read
// waits for its own answer: each answer lands in a property of its own read,
// on a window that still exists, so the owner sees no error (xclip would die
// of one), and the next reads get the owner's text as it is now.
TEST_F(SystemPasteboardTest, AnAnswerAfterTheBoundIsDroppedAndTheOwnerLivesOn) {
    // In INCR chunks, which the owner sends only as each is taken.
    testing::ClipboardOwner owner(server_->displayName(), "as it was", 4);
    ASSERT_TRUE(owner.owns());
    owner.hold();
    EXPECT_EQ(readAndPing().text, std::nullopt);
    owner.setText("as it is");
    std::optional<Read> next;
    std::thread reading([&] { next = readAndPing(); });
    // The late answer goes first, while the next read waits.
    EXPECT_TRUE(testing::eventually([&] { return owner.waiting() == 2; }));
    owner.release();
    reading.join();
    EXPECT_EQ(next->text, "as it is");
    EXPECT_EQ(readAndPing().text, "as it is");
    EXPECT_TRUE(testing::eventually([&] { return owner.transfersEnded() == 3; })) << "the late text was never taken";
    EXPECT_EQ(owner.errors(), 0);
}

} // namespace
} // namespace quillmere
