// Clipboard transfer behind the consent prompt, on a manual executor.

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Control/ClipboardBridge.h"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

class FakePasteboard final : public PasteboardAccess {
public:
    bool write(const std::string& text) override {
        ++writes;
        if (accepts) content = text;
        return accepts;
    }
    void read(ReadDone done) override {
        ++reads;
        done(content);
    }
    std::optional<std::string> content = "before";
    bool accepts = true;
    int writes = 0;
    int reads = 0;
};

class ClipboardBridgeTest : public ::testing::Test {
protected:
    void TearDown() override { manual->runUntilIdle(); }

    // Made anew for each request, as the consent center may have gone.
    ClipboardBridge& bridge() {
        made = std::make_unique<ClipboardBridge>(*manual, consent, pasteboard);
        return *made;
    }
    std::vector<std::string> prompts() const {
        std::vector<std::string> titles;
        for (const auto& request : consent->pending()) titles.push_back(request.windowTitle.value_or(""));
        return titles;
    }
    void answer(bool approved) { consent->resolve(consent->pending().front().id, approved); }

    std::shared_ptr<ManualExecutor> manual = std::make_shared<ManualExecutor>("main");
    std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
    std::shared_ptr<ConsentCenter> consent = ConsentCenter::make(*manual);
    std::unique_ptr<ClipboardBridge> made;
};

TEST_F(ClipboardBridgeTest, ClipboardWritesAskEveryTimeWithTheCharacterCount) {
    consent->autoApproveSessions = [] { return true; };
    const struct Row {
        std::string text;
        int characters;
        bool answer;
        bool accepts;
        ClipboardOutcome outcome;
        std::string after;
    } rows[] = {
        {"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600", 5, true, true, ClipboardOutcome::done,
         "\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467\U0001F1EB\U0001F1F7e\u0301", 3, false, true,
         ClipboardOutcome::denied, "before"},
        {"y", 1, true, false, ClipboardOutcome::notText, "before"},
    };
    for (const Row& row : rows) {
        pasteboard->content = "before";
        pasteboard->accepts = row.accepts;
        std::vector<ClipboardOutcome> outcomes;
        bridge().write("Phone", row.text, [&](ClipboardOutcome outcome) { outcomes.push_back(outcome); });
        manual->runUntilIdle();
        EXPECT_EQ(prompts(), std::vector<std::string>{"paste " + std::to_string(row.characters) +
                                                " characters into this computer\u2019s clipboard"});
        EXPECT_TRUE(outcomes.empty());
        answer(row.answer);
        EXPECT_EQ(outcomes, std::vector{row.outcome}) << row.text;
        EXPECT_EQ(pasteboard->content, row.after);
    }
    EXPECT_EQ(pasteboard->writes, 2);
}

TEST_F(ClipboardBridgeTest, ClipboardReadsAskEveryTimeAndTouchNothingWhenRefused) {
    using Answer = std::pair<bool, std::optional<std::string>>;
    std::vector<Answer> answers;
    const auto read = [&] {
        bridge().read("Phone", [&](bool approved, std::optional<std::string> text) {
            answers.emplace_back(approved, std::move(text));
        });
        manual->runUntilIdle();
    };
    read();
    EXPECT_EQ(prompts(), std::vector<std::string>{"read this computer\u2019s clipboard"});
    answer(false);
    EXPECT_EQ(pasteboard->reads, 0);
    read();
    answer(true);
    pasteboard->content.reset();
    read();
    answer(true);
    EXPECT_EQ(answers, (std::vector<Answer>{{false, std::nullopt}, {true, "before"}, {true, std::nullopt}}));

    // No one left to ask: refused at once.
    consent.reset();
    read();
    bridge().write("Phone", "z", [&](ClipboardOutcome outcome) { EXPECT_EQ(outcome, ClipboardOutcome::denied); });
    manual->runUntilIdle();
    EXPECT_EQ(answers.back(), (Answer{false, std::nullopt}));
    EXPECT_EQ(pasteboard->writes, 0);
}

// The asker's end races the user's click: an approval that comes after it
// touches nothing, and what the end finds open goes at once, refused.
TEST_F(ClipboardBridgeTest, ApprovalsAfterTheAskerEndedTouchNothing) {
    const auto scope = PromptScope::make();
    std::vector<ClipboardOutcome> outcomes;
    std::vector<bool> reads;
    bridge().write("Phone", "late", [&](ClipboardOutcome outcome) { outcomes.push_back(outcome); }, scope);
    bridge().read("Phone", [&](bool approved, std::optional<std::string>) { reads.push_back(approved); }, scope);
    manual->runUntilIdle();
    ASSERT_EQ(prompts().size(), 2u);
    scope->end();
    answer(true);
    EXPECT_EQ(prompts().size(), 1u);
    scope->withdrawAll();
    EXPECT_TRUE(prompts().empty());
    bridge().write("Phone", "later", [&](ClipboardOutcome outcome) { outcomes.push_back(outcome); }, scope);
    manual->runUntilIdle();
    EXPECT_TRUE(prompts().empty());
    EXPECT_EQ(outcomes, (std::vector<ClipboardOutcome>{ClipboardOutcome::denied, ClipboardOutcome::denied}));
    EXPECT_EQ(reads, std::vector<bool>{false});
    EXPECT_EQ(pasteboard->writes + pasteboard->reads, 0);
    EXPECT_EQ(pasteboard->content, "before");
}

} // namespace
} // namespace quillmere::testing
