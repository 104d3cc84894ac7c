#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Pasteboard/SystemPasteboard.h"
#include "Platform/Pasteboard/Tests/QtGuiThread.h"
#include "Platform/Pasteboard/Tests/Xclip.h"
#include "Platform/ScreenCapture/Tests/XvfbServer.h"

#include <gtest/gtest.h>

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

    // Another client's text shows up once it owns the selection.
    std::optional<std::string> readOnce(const std::string& expected) {
        std::optional<std::string> text;
        for (int i = 0; i < 500 && text != expected; ++i) {
            text = pasteboard_.read();
            if (text != expected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return text;
    }

    static testing::XvfbServer* server_;
    static testing::QtGuiThread* gui_;
    SystemPasteboard pasteboard_{MainQueue::shared()};
    testing::Xclip xclip_{server_->displayName()};
};

testing::XvfbServer* SystemPasteboardTest::server_ = nullptr;
testing::QtGuiThread* SystemPasteboardTest::gui_ = nullptr;

TEST_F(SystemPasteboardTest, WrittenTextIsWhatOtherClientsRead) {
    const std::string text = "h\u00e9llo \u2713 \U0001F600 clipboard";
    ASSERT_TRUE(pasteboard_.write(text));
    EXPECT_EQ(xclip_.output("-o"), text);
    EXPECT_EQ(pasteboard_.read(), text);
}

TEST_F(SystemPasteboardTest, TextAnotherClientSetIsRead) {
    xclip_.input("from xclip \u2713");
    EXPECT_EQ(readOnce("from xclip \u2713"), "from xclip \u2713");
}

TEST_F(SystemPasteboardTest, ClipboardWithoutTextReadsAsNoneAndAWriteReplacesIt) {
    xclip_.input("\x89PNG", "image/png");
    bool taken = false;
    for (int i = 0; i < 500 && !taken; ++i) {
        taken = xclip_.output("-o -t TARGETS").find("image/png") != std::string::npos;
        if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(taken);
    EXPECT_EQ(pasteboard_.read(), std::nullopt);
    ASSERT_TRUE(pasteboard_.write("only text"));
    const std::string targets = xclip_.output("-o -t TARGETS");
    EXPECT_EQ(targets.find("image/png"), std::string::npos) << targets;
    EXPECT_EQ(xclip_.output("-o"), "only text");
}

} // namespace
} // namespace quillmere
