// WindowCatalog's audio capture filters: which applications a route's
// capture hears. Each application stands for its process tree: the capture
// hears, or leaves out, its descendants with it.

#include "QuillmereMac/Catalog/WindowCatalog.h"

#include <algorithm>

namespace quillmere {

std::optional<AudioCaptureFilter> WindowCatalog::audioCaptureFilter(const AudioRouting::Route& route) const {
    const auto* everythingElse = std::get_if<AudioRouting::route::EverythingElse>(&route);
    const auto* app = std::get_if<AudioRouting::route::App>(&route);
    if (!everythingElse && !app) return std::nullopt;

    ShareableContent::Options options;
    const auto content = fetch_(options);
    if (!content || content->displays.empty()) return std::nullopt;

    if (app) {
        const bool shown = std::any_of(content->applications.begin(), content->applications.end(),
                                       [&](const ContentApplication& a) { return a.processID == app->pid; });
        if (!shown) return std::nullopt;
        return AudioCaptureFilter::includingApplications({app->pid});
    }
    std::vector<std::int32_t> excluded;
    for (const ContentApplication& application : content->applications) {
        const bool listed = std::find(everythingElse->excluding.begin(), everythingElse->excluding.end(),
                                      application.processID) != everythingElse->excluding.end();
        if (listed || application.processID == ownProcessID_) excluded.push_back(application.processID);
    }
    // This process is left out even when it shows no window.
    if (std::find(excluded.begin(), excluded.end(), ownProcessID_) == excluded.end()) excluded.push_back(ownProcessID_);
    return AudioCaptureFilter::excludingApplications(std::move(excluded));
}

std::optional<AudioCaptureFilter> WindowCatalog::displayAudioFilter() const {
    ShareableContent::Options options;
    const auto content = fetch_(options);
    if (!content || content->displays.empty()) return std::nullopt;
    return AudioCaptureFilter::excludingApplications({});
}

} // namespace quillmere
