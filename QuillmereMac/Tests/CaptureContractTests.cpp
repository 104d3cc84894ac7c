#include "QuillmereMac/Capture/CaptureEvent.h"
#include "QuillmereMac/Capture/CaptureStartError.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(CaptureStopReason, Descriptions) {
    EXPECT_EQ(CaptureStopReason::failed("display gone").description(), "display gone");
    EXPECT_EQ(CaptureStopReason::interrupted("-3805").description(), "interrupted (-3805)");
    EXPECT_EQ(CaptureStopReason::userStopped().description(), "stopped");
    EXPECT_EQ(CaptureStopReason::windowClosed().description(), "window closed");
    EXPECT_EQ(CaptureStopReason::permissionDenied().description(), "Screen Recording permission is not granted");
    EXPECT_NE(CaptureStopReason::failed("x"), CaptureStopReason::interrupted("x"));
}

struct OtherError {
    int status = 0;
    std::string description() const { return "stopped"; }
};

TEST(CaptureStartError, KeepsTheSourcesOwnErrorType) {
    const CaptureStartError reason = CaptureStopReason::userStopped();
    const CaptureStartError other = OtherError{7};
    EXPECT_EQ(reason.description(), "stopped");
    ASSERT_NE(reason.as<CaptureStopReason>(), nullptr);
    EXPECT_EQ(*reason.as<CaptureStopReason>(), CaptureStopReason::userStopped());
    EXPECT_EQ(reason.as<OtherError>(), nullptr);
    EXPECT_EQ(other.as<OtherError>()->status, 7);
    // Same text, different errors.
    EXPECT_NE(reason, other);
}

TEST(CaptureEvent, ExposesOnlyItsOwnCase) {
    const auto epoch = CaptureEvent::epochChanged(3, 640, 480);
    EXPECT_EQ(*epoch.epochChange(), (CaptureEvent::EpochChanged{3, 640, 480}));
    EXPECT_EQ(epoch.capturedFrame(), nullptr);
    EXPECT_FALSE(epoch.isIdle());
    EXPECT_EQ(CaptureEvent::stopped(CaptureStopReason::windowClosed()).stopReason()->kind(),
              CaptureStopReason::Kind::windowClosed);
    EXPECT_TRUE(CaptureEvent::idle().isIdle());
}

} // namespace
} // namespace quillmere
