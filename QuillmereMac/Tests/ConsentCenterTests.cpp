#include "TestSupport/TestValues.h"
#include "QuillmereMac/Consent/ConsentCenter.h"

#include "Platform/Dispatch/ManualExecutor.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quillmere {
namespace {

using testing::second;

using Request = ConsentCenter::Request;

struct Replies {
    std::vector<std::pair<std::string, bool>> calls;
    ConsentPresenting::Reply reply(std::string name) {
        return [this, name](bool approved) { calls.emplace_back(name, approved); };
    }
};

class ConsentCenterTest : public ::testing::Test {
protected:
    ManualExecutor main{"main"};
    std::shared_ptr<ConsentCenter> center = ConsentCenter::make(main);
    Replies replies;
    int notices = 0;

    void SetUp() override { center->addObserver([this] { ++notices; }); }
};

TEST_F(ConsentCenterTest, AutoApprovalRepliesOnALaterTurnAndKeepsTheNewestFive) {
    center->autoApproveSessions = [] { return true; };
    center->request("phone", "window 7", replies.reply("capture"));
    EXPECT_TRUE(replies.calls.empty()); // never inside request()
    EXPECT_TRUE(center->pending().empty());
    main.runUntilIdle();
    ASSERT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"capture", true}}));

    for (int i = 2; i <= 6; ++i) center->request("phone", "window " + std::to_string(i), replies.reply("more"));
    main.runUntilIdle();
    EXPECT_EQ(replies.calls.size(), 6u);
    ASSERT_EQ(center->autoApproved().size(), 5u);
    EXPECT_EQ(center->autoApproved().front(), (Request{2, "phone", "window 2"}));
    EXPECT_EQ(center->autoApproved().back(), (Request{6, "phone", "window 6"}));
    EXPECT_TRUE(center->pending().empty());
    EXPECT_EQ(notices, 6);
    // No timeout was armed for them.
    main.advance(120 * second);
    EXPECT_EQ(replies.calls.size(), 6u);
}

TEST_F(ConsentCenterTest, ClipboardStillPromptsWithAutoApprovalOn) {
    center->autoApproveSessions = [] { return true; };
    int presented = 0;
    center->onPresent = [&] { ++presented; };
    center->enqueue("phone", "read this computer\u2019s clipboard", replies.reply("read"));
    EXPECT_EQ(presented, 1);
    ASSERT_EQ(center->pending(), (std::vector<Request>{{1, "phone", "read this computer\u2019s clipboard"}}));
    main.runUntilIdle();
    EXPECT_TRUE(replies.calls.empty());
    EXPECT_TRUE(center->autoApproved().empty());
}

TEST_F(ConsentCenterTest, WithoutAutoApprovalRequestsPrompt) {
    center->request("device", std::nullopt, replies.reply("capture"));
    ASSERT_EQ(center->pending(), (std::vector<Request>{{1, "device", std::nullopt}}));
    center->resolve(1, true);
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"capture", true}}));
}

TEST_F(ConsentCenterTest, UnansweredPromptIsDeniedAfterSixtySecondsAndLaterAnswersAreIgnored) {
    center->enqueue("phone", "paste 5 characters into this computer\u2019s clipboard", replies.reply("paste"));
    main.runUntilIdle();
    main.advance(60 * second - 1);
    EXPECT_TRUE(replies.calls.empty());
    EXPECT_EQ(center->pending().size(), 1u);
    main.advance(1);
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"paste", false}}));
    EXPECT_TRUE(center->pending().empty());
    center->resolve(1, true);
    EXPECT_EQ(replies.calls.size(), 1u);
}

TEST_F(ConsentCenterTest, AnswerWithinTheTimeoutIsDeliveredOnce) {
    center->enqueue("phone", "x", replies.reply("x"));
    main.advance(10 * second);
    center->resolve(1, true);
    center->resolve(1, false);
    main.advance(120 * second);
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"x", true}}));
}

TEST_F(ConsentCenterTest, TimeoutIsReadWhenItsTaskStarts) {
    center->enqueue("phone", "x", replies.reply("x"));
    center->timeoutSeconds = 5.0; // before the task's first turn
    main.advance(5 * second);
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"x", false}}));
}

TEST_F(ConsentCenterTest, AnsweringTheSecondFirstLeavesTheFirstInPlace) {
    center->enqueue("a", "one", replies.reply("one"));
    center->enqueue("b", "two", replies.reply("two"));
    center->enqueue("c", "three", replies.reply("three"));
    center->resolve(2, false);
    EXPECT_EQ(center->pending(), (std::vector<Request>{{1, "a", "one"}, {3, "c", "three"}}));
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"two", false}}));
    EXPECT_EQ(center->nextID(), 4u);
}

TEST_F(ConsentCenterTest, WithdrawnPromptGoesAtOnceRefusedAndLaterAnswersAreIgnored) {
    EXPECT_EQ(center->enqueue("a", "one", replies.reply("one")), 1u);
    EXPECT_EQ(center->request("b", "two", replies.reply("two")), 2u);
    const int before = notices;
    center->withdraw(2);
    center->resolve(2, true);
    center->withdraw(2);
    EXPECT_EQ(notices, before + 1);
    EXPECT_EQ(center->pending(), (std::vector<Request>{{1, "a", "one"}}));
    EXPECT_EQ(replies.calls, (std::vector<std::pair<std::string, bool>>{{"two", false}}));
    center->autoApproveSessions = [] { return true; };
    EXPECT_EQ(center->request("b", "three", replies.reply("three")), 0u); // nothing left to withdraw
}

TEST_F(ConsentCenterTest, IdentifiersComeFromOneCounterForBothLists) {
    center->enqueue("a", "one", replies.reply("one"));
    center->autoApproveSessions = [] { return true; };
    center->request("a", "two", replies.reply("two"));
    center->autoApproveSessions = [] { return false; };
    center->request("a", "three", replies.reply("three"));
    EXPECT_EQ(center->autoApproved(), (std::vector<Request>{{2, "a", "two"}}));
    EXPECT_EQ(center->pending(), (std::vector<Request>{{1, "a", "one"}, {3, "a", "three"}}));
}

TEST_F(ConsentCenterTest, ResolvingAnUnknownIdentifierChangesNothingAndNotifiesNobody) {
    center->enqueue("a", "one", replies.reply("one"));
    const int before = notices;
    center->resolve(42, true);
    EXPECT_EQ(notices, before);
    EXPECT_EQ(center->pending().size(), 1u);
    EXPECT_TRUE(replies.calls.empty());
}

TEST_F(ConsentCenterTest, TimeoutOfAReleasedCenterDoesNothing) {
    center->enqueue("a", "one", replies.reply("one"));
    center.reset(); // the reply goes with the center, never called
    main.advance(120 * second);
    EXPECT_TRUE(replies.calls.empty());
}

} // namespace
} // namespace quillmere
