#pragma once

#include "Platform/EventPosting/EventPosting.h"
#include "Platform/EventPosting/EventPostingError.h"
#include "Platform/X11/XcbConnection.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace quillmere {

// Posts events as an X input device through XTest, on a connection of its
// own; safe to call from any thread.
//
// Beyond one request per event:
// - a key it holds down does not auto-repeat in the server (its per-key
//   repeat is off while held): the injector's repeat is the only one; an
//   auto-repeat of a key that does not repeat here (modifiers, locks) is
//   dropped, and so is a second press of such a key;
// - buttons are pressed where the event says, moving the pointer first;
// - line scrolls are clicks of buttons 4/5 (vertical) and 6/7 (horizontal),
//   pixel scrolls add up to one click per pixelsPerClick; phases and the
//   end of a gesture post nothing;
// - text is typed key by key (see KeyboardMapX11); when a character needs
//   a borrowed code that is still settling, it and everything posted after
//   it wait on the poster's own queue, in order: no call ever sleeps;
// - releaseAll and destruction let go of every key and button still down,
//   give borrowed key codes back, and toggle Caps Lock and Num Lock back
//   when the keys posted here left them toggled.
class EventPosterX11 final : public EventPosting {
public:
    struct Options {
        // X clients turn key codes into characters when they read the
        // event, with the map of that moment: a borrowed code keeps its
        // character long enough for a busy client to read what was typed.
        std::uint64_t keymapSettleNs = 200'000'000;
        // Borrowed key codes go back once no text was typed for this long.
        std::uint64_t keymapRestoreNs = 1'000'000'000;
    };

    static constexpr int pixelsPerClick = 120;
    // A larger delta is a flood, not a gesture.
    static constexpr int maxClicksPerEvent = 64;

    // On a connection from open, kept for the poster's life.
    static std::expected<std::shared_ptr<EventPosterX11>, EventPostingError> open(const XcbConnection::Opener& open,
                                                                                  Options options);
    static std::expected<std::shared_ptr<EventPosterX11>, EventPostingError> open(const XcbConnection::Opener& open);
    ~EventPosterX11() override;
    EventPosterX11(const EventPosterX11&) = delete;
    EventPosterX11& operator=(const EventPosterX11&) = delete;

    void post(const Event& event) override;
    // The XKB repeat delay and interval.
    std::optional<KeyRepeatRate> keyRepeatRate() override;
    void releaseAll() override;

    // Keys and buttons posted down and not yet up.
    std::size_t heldCount() const;
    // Returns once the server has handled everything posted before, text
    // that waited for a settling code included.
    void sync();

    struct State;
    explicit EventPosterX11(std::shared_ptr<State> state);

private:
    std::shared_ptr<State> state_;
};

} // namespace quillmere
