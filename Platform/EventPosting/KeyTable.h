#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quillmere {

// The keys a client can press: HID usages of the Keyboard/Keypad page and
// the X key code of each, through the kernel's HID-to-input mapping plus 8
// (the X server's evdev rules). Fixed at compile time; lookups take no lock.
class KeyTable {
public:
    struct Entry {
        std::uint16_t usage = 0;
        std::uint8_t keyCode = 0;
        // The modifier flag of the eight modifier keys; 0 for the others.
        std::uint64_t flag = 0;
        bool operator==(const Entry&) const = default;
    };

    static std::span<const Entry> entries();
    // Absent for a usage outside the table.
    static std::optional<Entry> find(std::uint16_t usage);
    // The flag a key code carries when it is a modifier; 0 otherwise.
    static std::uint64_t modifierFlag(std::uint8_t keyCode);
    static bool contains(std::uint8_t keyCode);
};

} // namespace quillmere
