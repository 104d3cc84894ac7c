#include "Platform/EventPosting/KeyboardMapX11.h"

#include "Platform/EventPosting/KeyTable.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace quillmere {

namespace {

constexpr std::uint32_t noSymbol = 0;
constexpr std::uint32_t returnKeysym = 0xff0d;
constexpr std::uint32_t tabKeysym = 0xff09;
constexpr std::uint32_t shiftLKeysym = 0xffe1;
constexpr std::uint32_t unicodeKeysymBase = 0x01000000;

struct Free {
    void operator()(void* pointer) const noexcept { std::free(pointer); }
};

} // namespace

KeyboardMapX11::KeyboardMapX11(xcb_connection_t* connection, std::uint64_t settleNs)
    : connection_(connection), settleNs_(settleNs) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    minKeyCode_ = setup->min_keycode;
    maxKeyCode_ = setup->max_keycode;
}

std::optional<std::uint32_t> KeyboardMapX11::keysymFor(char32_t scalar) {
    if (scalar == U'\n' || scalar == U'\r') return returnKeysym;
    if (scalar == U'\t') return tabKeysym;
    if (scalar < 0x20 || (scalar >= 0x7f && scalar < 0xa0)) return std::nullopt;
    // Latin-1 keysyms are the code points themselves.
    if (scalar <= 0xff) return static_cast<std::uint32_t>(scalar);
    if (scalar > 0x10ffff || (scalar >= 0xd800 && scalar <= 0xdfff)) return std::nullopt;
    return unicodeKeysymBase | static_cast<std::uint32_t>(scalar);
}

void KeyboardMapX11::refresh() {
    const int count = maxKeyCode_ - minKeyCode_ + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, Free> reply(xcb_get_keyboard_mapping_reply(
        connection_, xcb_get_keyboard_mapping(connection_, minKeyCode_, static_cast<std::uint8_t>(count)), nullptr));
    if (!reply) return;
    perKeyCode_ = reply->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    keysyms_.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));

    // A code someone else mapped meanwhile is theirs now.
    std::erase_if(borrowed_, [&](const Borrowed& b) {
        return keysymAt(b.keyCode, 0) != b.keysym;
    });
    if (spare_) return;
    spare_.emplace();
    // Key code 8 has no key on any keyboard some clients know of; the key
    // table's codes may be pressed by the client itself.
    for (int code = std::max<int>(minKeyCode_, 9); code <= maxKeyCode_; ++code) {
        const auto keyCode = static_cast<std::uint8_t>(code);
        if (KeyTable::contains(keyCode)) continue;
        bool empty = true;
        for (int level = 0; level < perKeyCode_; ++level) empty = empty && keysymAt(keyCode, level) == noSymbol;
        if (empty) spare_->push_back(keyCode);
    }
}

std::uint32_t KeyboardMapX11::keysymAt(std::uint8_t keyCode, int level) const {
    if (keyCode < minKeyCode_ || level >= perKeyCode_) return noSymbol;
    const std::size_t index = static_cast<std::size_t>(keyCode - minKeyCode_) * static_cast<std::size_t>(perKeyCode_) +
                              static_cast<std::size_t>(level);
    return index < keysyms_.size() ? keysyms_[index] : noSymbol;
}

std::optional<std::uint8_t> KeyboardMapX11::shiftKeyCode() const {
    for (int code = minKeyCode_; code <= maxKeyCode_; ++code)
        if (keysymAt(static_cast<std::uint8_t>(code), 0) == shiftLKeysym) return static_cast<std::uint8_t>(code);
    return std::nullopt;
}

KeyboardMapX11::Outcome KeyboardMapX11::stroke(std::uint32_t keysym, bool shiftHeld,
                                                             const std::function<bool(std::uint8_t)>& held,
                                                             std::uint64_t nowNs) {
    for (Borrowed& b : borrowed_) {
        if (b.keysym != keysym) continue;
        b.lastUsedNs = nowNs;
        return Stroke{b.keyCode, false};
    }
    const auto isBorrowed = [&](std::uint8_t code) {
        return std::any_of(borrowed_.begin(), borrowed_.end(), [&](const Borrowed& b) { return b.keyCode == code; });
    };
    // Level 1 wants Shift up, level 2 wants it down: a held Shift the client
    // pressed itself cannot be lifted, so such a character is borrowed too.
    std::optional<Stroke> found;
    for (int code = minKeyCode_; code <= maxKeyCode_ && !found; ++code) {
        const auto keyCode = static_cast<std::uint8_t>(code);
        if (isBorrowed(keyCode) || held(keyCode)) continue;
        if (keysymAt(keyCode, 0) == keysym && !shiftHeld) found = Stroke{keyCode, false};
        else if (keysymAt(keyCode, 1) == keysym && keysymAt(keyCode, 0) != keysym) found = Stroke{keyCode, !shiftHeld};
    }
    if (found) return *found;

    std::optional<std::uint8_t> code = freeSpareCode();
    if (!code) {
        if (borrowed_.empty()) return std::monostate{};
        auto oldest = std::min_element(borrowed_.begin(), borrowed_.end(),
                                       [](const Borrowed& a, const Borrowed& b) { return a.lastUsedNs < b.lastUsedNs; });
        // Its last character may still be looked up: it must settle first.
        if (nowNs < oldest->lastUsedNs + settleNs_) return Wait{oldest->lastUsedNs + settleNs_};
        code = oldest->keyCode;
        borrowed_.erase(oldest);
    }
    setKeysym(*code, keysym);
    borrowed_.push_back({*code, keysym, nowNs});
    return Stroke{*code, false};
}

std::optional<std::uint8_t> KeyboardMapX11::freeSpareCode() const {
    if (!spare_) return std::nullopt;
    for (std::uint8_t code : *spare_) {
        const bool taken =
            std::any_of(borrowed_.begin(), borrowed_.end(), [&](const Borrowed& b) { return b.keyCode == code; });
        if (!taken) return code;
    }
    return std::nullopt;
}

void KeyboardMapX11::setKeysym(std::uint8_t keyCode, std::uint32_t keysym) {
    // Both levels, so that a held Shift changes nothing.
    const xcb_keysym_t keysyms[2] = {keysym, keysym};
    xcb_change_keyboard_mapping(connection_, 1, keyCode, 2, keysyms);
    if (perKeyCode_ > 0 && keyCode >= minKeyCode_) {
        const std::size_t base =
            static_cast<std::size_t>(keyCode - minKeyCode_) * static_cast<std::size_t>(perKeyCode_);
        for (int level = 0; level < perKeyCode_ && base + static_cast<std::size_t>(level) < keysyms_.size(); ++level)
            keysyms_[base + static_cast<std::size_t>(level)] = level < 2 ? keysym : noSymbol;
    }
}

bool KeyboardMapX11::restoreIdle(std::uint64_t nowNs, std::uint64_t idleNs) {
    std::erase_if(borrowed_, [&](const Borrowed& b) {
        if (nowNs < b.lastUsedNs + idleNs) return false;
        setKeysym(b.keyCode, noSymbol);
        return true;
    });
    return !borrowed_.empty();
}

void KeyboardMapX11::restoreAll() {
    for (const Borrowed& b : borrowed_) setKeysym(b.keyCode, noSymbol);
    borrowed_.clear();
}

} // namespace quillmere
