// MediaPipeline's capture choices: the list a client picks from and the
// consent question for a pick. Main actor, where the catalog lives.

#include "QuillmereBase/UTF8.h"
#include "QuillmereMac/Media/MediaPipeline.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace quillmere {

namespace {

std::uint16_t pointSide(double points) {
    if (!(points > 0)) return 0;
    return static_cast<std::uint16_t>(std::min(std::floor(points), 65535.0));
}

} // namespace

std::vector<CaptureWindow> MediaPipeline::captureList() {
    std::vector<CaptureWindow> list;
    if (testPatternEnabled_()) list.push_back(CaptureWindow{testPatternID, testPatternTitle, "QuillmereMac", 1280, 720});

    const auto windows = catalog_->refresh(false);
    // Only 16 displays have capture identifiers: a 17th would be taken for
    // a window.
    const auto displays = catalog_->displayChoices();
    const std::size_t shown = std::min<std::size_t>(displays.size(), CaptureChoice::maxDisplays);
    for (std::size_t i = 0; i < shown; ++i) {
        list.push_back(CaptureWindow{CaptureChoice::displayIDBase + static_cast<std::uint32_t>(i), displays[i].title,
                                     "Mac", displays[i].width, displays[i].height});
    }
    if (windows) {
        for (const ShareableWindow& window : *windows) {
            list.push_back(CaptureWindow{window.windowID, truncatedUTF8(window.title, CaptureWindow::maxTitleBytes),
                                         truncatedUTF8(window.app, CaptureWindow::maxAppBytes),
                                         pointSide(window.pointWidth), pointSide(window.pointHeight)});
        }
    }
    return list;
}

void MediaPipeline::captureList(std::function<void(std::vector<CaptureWindow>)> reply) { reply(captureList()); }

void MediaPipeline::requestCaptureConsent(std::string deviceName, std::uint32_t captureID,
                                          std::function<void(bool)> reply, std::shared_ptr<PromptScope> prompts) {
    const auto presenter = consent_.lock();
    if (!presenter) {
        reply(false);
        return;
    }
    const CaptureChoice choice = CaptureChoice::fromCaptureID(captureID);
    std::string subject;
    switch (choice.kind) {
    case CaptureChoice::Kind::window:
        subject = catalog_->windowDescription(choice.value).value_or("window " + std::to_string(choice.value));
        break;
    case CaptureChoice::Kind::display:
        subject = "your entire screen (" +
                  catalog_->displayTitle(static_cast<int>(choice.value)).value_or(std::string("display")) + ")";
        break;
    case CaptureChoice::Kind::testPattern: subject = testPatternTitle; break;
    }
    PromptScope::ask(
        prompts, presenter,
        [&](ConsentPresenting::Reply answer) {
            return presenter->request(std::move(deviceName), std::move(subject), std::move(answer));
        },
        std::move(reply));
}

} // namespace quillmere
