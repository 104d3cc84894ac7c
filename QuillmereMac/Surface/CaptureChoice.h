#pragma once

#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <string>

namespace quillmere {

// What a surface shows, decoded from the 32-bit capture identifier a client
// selects.
struct CaptureChoice {
    enum class Kind : std::uint8_t { window, display, testPattern };

    static constexpr std::uint32_t testPatternID = 0xFFFFFFF0;
    static constexpr std::uint32_t displayIDBase = CaptureWindow::displayIDBase;
    static constexpr std::uint32_t maxDisplays = 16;

    Kind kind = Kind::window;
    // The window identifier, or the display index; 0 for the test pattern.
    std::uint32_t value = 0;

    static CaptureChoice window(std::uint32_t windowID) { return {Kind::window, windowID}; }
    static CaptureChoice display(std::uint32_t index) { return {Kind::display, index}; }
    static CaptureChoice testPattern() { return {Kind::testPattern, 0}; }

    static CaptureChoice fromCaptureID(std::uint32_t captureID) {
        if (captureID == testPatternID) return testPattern();
        if (captureID >= displayIDBase && captureID - displayIDBase < maxDisplays)
            return display(captureID - displayIDBase);
        return window(captureID);
    }

    // "window(4660)", "display(3)", "testPattern".
    std::string description() const {
        switch (kind) {
        case Kind::window: return "window(" + std::to_string(value) + ")";
        case Kind::display: return "display(" + std::to_string(value) + ")";
        case Kind::testPattern: return "testPattern";
        }
        return "window(" + std::to_string(value) + ")";
    }

    bool operator==(const CaptureChoice&) const = default;
};

} // namespace quillmere
