#pragma once

#include "Platform/EventPosting/EventPosting.h"
#include "QuillmereMac/Geometry/Rect.h"
#include "QuillmereMac/Input/KeyRepeat.h"
#include "QuillmereMac/Input/ScrollGesture.h"
#include "QuillmereMacCore/InjectAction.h"

#include <cstdint>
#include <memory>
#include <set>

namespace quillmere {

// The injector of the client holding input control: one at a time for the
// whole application, kept in the media pipeline's injector box, whose holding
// one is what "control granted" means. It turns admitted input into system
// events: its own pointer inside the controlled frame, the modifier flags
// and buttons held, a key repeat of its own and the end of pixel-scroll
// gestures. Not thread-safe: its box serialises every call.
class InputInjector {
public:
    static constexpr std::size_t textChunkUnits = 20;

    // The pointer starts at the frame's centre. A null poster posts nothing.
    InputInjector(std::shared_ptr<EventPosting> poster, Rect windowFrame, KeyRepeat keyRepeat = KeyRepeat::from({}));

    // nowNs: the uptime at the call.
    void post(const InjectAction& action, std::uint64_t nowNs);
    // Moves the pointer, kept inside the frame, and posts the move.
    void moveCursor(double x, double y);
    void repeatKeyIfDue(std::uint64_t nowNs);
    // Repeats first, then ends a gesture idle for its idle time.
    void endScrollIfIdle(std::uint64_t nowNs);
    // A key repeats or a gesture is open: the repeat timer must run.
    bool hasPendingWork() const { return keyRepeat_.usage || scrollGesture_.lastNs; }
    // Lets go of everything its poster holds down.
    void releaseHeld();

    // The controlled surface's frame, in root pixels with a top-left origin.
    Rect windowFrame;

    PostedEvent::Location cursor() const { return cursor_; }
    std::uint64_t heldFlags() const { return heldFlags_; }
    const std::set<InputButton>& heldButtons() const { return heldButtons_; }
    const KeyRepeat& keyRepeat() const { return keyRepeat_; }
    const ScrollGesture& scrollGesture() const { return scrollGesture_; }
    // Key actions whose usage is not in the key table.
    std::int64_t unsupportedKeys() const { return unsupportedKeys_; }
    std::int64_t posted() const { return posted_; }

private:
    void send(const PostedEvent& event);
    void key(std::uint16_t usage, bool down, std::uint64_t nowNs);
    void button(InputButton button, bool down);
    void scroll(const inject::Scroll& scroll, std::uint64_t nowNs);
    void text(const std::string& text);

    std::shared_ptr<EventPosting> poster_;
    PostedEvent::Location cursor_;
    std::uint64_t heldFlags_ = 0;
    std::set<InputButton> heldButtons_;
    std::int64_t unsupportedKeys_ = 0;
    KeyRepeat keyRepeat_;
    std::int64_t posted_ = 0;
    ScrollGesture scrollGesture_;
};

} // namespace quillmere
