#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Pasteboard/SystemPasteboard.h"
#include "Platform/Pasteboard/Tests/QtGuiThread.h"
#include "Platform/Pasteboard/Tests/Xclip.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/XvfbServer.h"

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

    static testing::XvfbServer* server_;
    static testing::QtGuiThread* gui_;
    SystemPasteboard pasteboard_{MainQueue::shared()};
    testing::Xclip xclip_{server_->displayName()};
};

testing::XvfbServer* SystemPasteboardTest::server_ = nullptr;
testing::QtGuiThread* SystemPasteboardTest::gui_ = nullptr;

// Text both ways is shown end to end, through the host; here what is not text.
TEST_F(SystemPasteboardTest, ClipboardWithoutTextReadsAsNoneAndAWriteReplacesIt) {
    xclip_.input("\x89PNG", "image/png");
    ASSERT_TRUE(testing::eventually(
        [&] { return xclip_.output("-o -t TARGETS").find("image/png") != std::string::npos; }));
    EXPECT_EQ(pasteboard_.read(), std::nullopt);
    ASSERT_TRUE(pasteboard_.write("only text"));
    const std::string targets = xclip_.output("-o -t TARGETS");
    EXPECT_EQ(targets.find("image/png"), std::string::npos) << targets;
    EXPECT_EQ(xclip_.output("-o"), "only text");
}

} // namespace
} // namespace quillmere
