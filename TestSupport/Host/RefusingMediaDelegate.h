#pragma once

#include "QuillmereMac/Media/SessionMediaDelegate.h"

namespace quillmere::testing {

// A media side that has nothing and allows nothing: consent, control and the
// clipboard are refused, no surface has a pipeline, the capture list is
// empty and every other request is dropped. A test's media side overrides
// what it plays and leaves the rest to this.
class RefusingMediaDelegate : public SessionMediaDelegate {
public:
    void requestCaptureConsent(std::string deviceName, std::uint32_t captureID, std::function<void(bool approved)> reply,
                               std::shared_ptr<PromptScope> prompts) override;
    void startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                      std::shared_ptr<MediaConnection> connection) override;
    void beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                    std::shared_ptr<MediaConnection> connection) override;
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    void setPaused(std::uint32_t surfaceID, bool paused, const std::shared_ptr<MediaConnection>& connection) override;
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override;
    void inject(const std::vector<InjectAction>& actions) override;
    void setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                          const std::shared_ptr<MediaConnection>& connection) override;
    void clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override;
    void setScreenShape(ScreenShape shape) override;
    void setTextSize(std::uint8_t level) override;
    void writeClipboard(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
                        std::shared_ptr<PromptScope> prompts) override;
    void readClipboard(std::string clientName, std::function<void(bool approved, std::optional<std::string> text)> reply,
                       std::shared_ptr<PromptScope> prompts) override;
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                        std::function<void(bool approved)> reply, std::shared_ptr<PromptScope> prompts) override;
    void captureList(std::function<void(std::vector<CaptureWindow>)> reply) override;
    void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) override;
    bool testPatternEnabled() override;
    bool permission() override;
    std::shared_ptr<MediaConnection> lastConnection() override;
};

} // namespace quillmere::testing
