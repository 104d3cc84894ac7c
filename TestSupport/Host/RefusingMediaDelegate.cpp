#include "TestSupport/Host/RefusingMediaDelegate.h"

namespace quillmere::testing {

void RefusingMediaDelegate::requestCaptureConsent(std::string, std::uint32_t, std::function<void(bool)> reply,
                                                  std::shared_ptr<PromptScope>) {
    reply(false);
}

void RefusingMediaDelegate::startSurface(std::uint32_t, std::uint32_t, std::shared_ptr<MediaConnection>) {}

void RefusingMediaDelegate::beginMedia(std::uint32_t, std::uint32_t, std::shared_ptr<MediaConnection>) {}

void RefusingMediaDelegate::stopSurface(std::uint32_t, const std::shared_ptr<MediaConnection>&) {}

void RefusingMediaDelegate::setPaused(std::uint32_t, bool, const std::shared_ptr<MediaConnection>&) {}

std::shared_ptr<SurfacePipeline> RefusingMediaDelegate::pipeline(std::uint32_t,
                                                                 const std::shared_ptr<MediaConnection>&) {
    return nullptr;
}

void RefusingMediaDelegate::inject(const std::vector<InjectAction>&) {}

void RefusingMediaDelegate::setSurfaceBudget(std::uint32_t, std::optional<RequestedBox>,
                                             const std::shared_ptr<MediaConnection>&) {}

void RefusingMediaDelegate::clearSurfaceBudget(std::uint32_t, const std::shared_ptr<MediaConnection>&) {}

void RefusingMediaDelegate::setScreenShape(ScreenShape) {}

void RefusingMediaDelegate::setTextSize(std::uint8_t) {}

void RefusingMediaDelegate::writeClipboard(std::string, std::string, std::function<void(ClipboardOutcome)> reply,
                                           std::shared_ptr<PromptScope>) {
    reply(ClipboardOutcome::denied);
}

void RefusingMediaDelegate::readClipboard(std::string, std::function<void(bool, std::optional<std::string>)> reply,
                                          std::shared_ptr<PromptScope>) {
    reply(false, std::nullopt);
}

void RefusingMediaDelegate::requestControl(std::string, std::shared_ptr<MediaConnection>,
                                           std::function<void(bool)> reply, std::shared_ptr<PromptScope>) {
    reply(false);
}

void RefusingMediaDelegate::captureList(std::function<void(std::vector<CaptureWindow>)> reply) { reply({}); }

void RefusingMediaDelegate::focusHint(const msg::FocusHint&, const std::shared_ptr<MediaConnection>&) {}

bool RefusingMediaDelegate::testPatternEnabled() { return false; }

bool RefusingMediaDelegate::permission() { return false; }

std::shared_ptr<MediaConnection> RefusingMediaDelegate::lastConnection() { return nullptr; }

} // namespace quillmere::testing
