#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace quillmere {

// Where characters are on the X keyboard, for typing text: a character on a
// key of the current map is typed with that key (and Shift for its second
// level); any other is given a spare key code (one with no symbol, outside
// the key table) for as long as it takes, then the code is given back. Not
// thread-safe: its poster serialises the calls.
class KeyboardMapX11 {
public:
    struct Stroke {
        std::uint8_t keyCode = 0;
        // Shift must be pressed around the key.
        bool shift = false;
        bool operator==(const Stroke&) const = default;
    };
    // Every spare code is borrowed and still settling: ask again at untilNs.
    struct Wait {
        std::uint64_t untilNs = 0;
        bool operator==(const Wait&) const = default;
    };
    // Nothing: no code can be had at all.
    using Outcome = std::variant<std::monostate, Stroke, Wait>;

    // settleNs: how long a borrowed code keeps its character after its last
    // use before it may carry another (clients look the symbol up when they
    // handle the key, which may be a little later).
    KeyboardMapX11(xcb_connection_t* connection, std::uint64_t settleNs);

    // The keysym a Unicode scalar types; absent for control characters other
    // than tab and line breaks.
    static std::optional<std::uint32_t> keysymFor(char32_t scalar);

    // Reads the map anew; call before a run of strokes.
    void refresh();
    // Where to type the keysym, borrowing a spare code when it is not on the
    // map. Never waits: when every borrowed code is still settling it says
    // until when. Keys the client holds down are not used.
    Outcome stroke(std::uint32_t keysym, bool shiftHeld, const std::function<bool(std::uint8_t)>& held,
                                 std::uint64_t nowNs);
    // The key code of Shift_L on the current map.
    std::optional<std::uint8_t> shiftKeyCode() const;

    // Gives back the codes idle since idleNs or more; returns whether any
    // are still borrowed.
    bool restoreIdle(std::uint64_t nowNs, std::uint64_t idleNs);
    void restoreAll();
    std::size_t borrowedCount() const { return borrowed_.size(); }

private:
    struct Borrowed {
        std::uint8_t keyCode = 0;
        std::uint32_t keysym = 0;
        std::uint64_t lastUsedNs = 0;
    };

    std::uint32_t keysymAt(std::uint8_t keyCode, int level) const;
    std::optional<std::uint8_t> freeSpareCode() const;
    void setKeysym(std::uint8_t keyCode, std::uint32_t keysym);

    xcb_connection_t* connection_;
    std::uint64_t settleNs_;
    std::uint8_t minKeyCode_ = 8;
    std::uint8_t maxKeyCode_ = 255;
    int perKeyCode_ = 0;
    std::vector<std::uint32_t> keysyms_;
    // Codes found without any symbol at the first read.
    std::optional<std::vector<std::uint8_t>> spare_;
    std::vector<Borrowed> borrowed_;
};

} // namespace quillmere
