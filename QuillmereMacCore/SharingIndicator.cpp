#include "QuillmereMacCore/SharingIndicator.h"

#include <fmt/format.h>

namespace quillmere {

namespace {

std::string peerPhrase(std::int64_t count) {
    if (count == 1) return "1 iPhone";
    return fmt::format("{} iPhones", count);
}

} // namespace

SharingIndicator::SharingIndicator(State state) : state_(state), isLive_(state.isSharing()) {
    if (state.isSharing()) {
        const std::string peers = peerPhrase(state.count());
        symbolName_ = sharingSymbolName;
        toolTip_ = "Quillmere \u2014 Sharing with " + peers;
        accessibilityDescription_ = "Quillmere, sharing your screen with " + peers;
        menuStatusTitle_ = "Sharing now with " + peers;
    } else {
        symbolName_ = idleSymbolName;
        toolTip_ = "Quillmere \u2014 Share this computer\u2019s windows with your iPhone";
        accessibilityDescription_ = "Quillmere, not sharing";
    }
}

} // namespace quillmere
