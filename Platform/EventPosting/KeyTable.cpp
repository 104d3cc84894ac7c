#include "Platform/EventPosting/KeyTable.h"

#include "Platform/EventPosting/PostedEvent.h"

#include <array>

namespace quillmere {

namespace {

constexpr std::uint64_t control = PostedEvent::controlFlag;
constexpr std::uint64_t shift = PostedEvent::shiftFlag;
constexpr std::uint64_t alternate = PostedEvent::alternateFlag;
constexpr std::uint64_t command = PostedEvent::commandFlag;

// usage, kernel input code, flag. The X key code is the input code plus 8.
struct Row {
    std::uint16_t usage;
    std::uint16_t input;
    std::uint64_t flag = 0;
};

constexpr Row rows[] = {
    // Letters.
    {4, 30}, {5, 48}, {6, 46}, {7, 32}, {8, 18}, {9, 33}, {10, 34}, {11, 35}, {12, 23}, {13, 36}, {14, 37},
    {15, 38}, {16, 50}, {17, 49}, {18, 24}, {19, 25}, {20, 16}, {21, 19}, {22, 31}, {23, 20}, {24, 22},
    {25, 47}, {26, 17}, {27, 45}, {28, 21}, {29, 44},
    // Digits.
    {30, 2}, {31, 3}, {32, 4}, {33, 5}, {34, 6}, {35, 7}, {36, 8}, {37, 9}, {38, 10}, {39, 11},
    // Return, Escape, Backspace, Tab, Space and punctuation; 49 and 50 are one key.
    {40, 28}, {41, 1}, {42, 14}, {43, 15}, {44, 57}, {45, 12}, {46, 13}, {47, 26}, {48, 27}, {49, 43},
    {50, 43}, {51, 39}, {52, 40}, {53, 41}, {54, 51}, {55, 52}, {56, 53}, {57, 58},
    // F1 to F12.
    {58, 59}, {59, 60}, {60, 61}, {61, 62}, {62, 63}, {63, 64}, {64, 65}, {65, 66}, {66, 67}, {67, 68},
    {68, 87}, {69, 88},
    // Navigation.
    {73, 110}, {74, 102}, {75, 104}, {76, 111}, {77, 107}, {78, 109}, {79, 106}, {80, 105}, {81, 108},
    {82, 103},
    // Keypad.
    {83, 69}, {84, 98}, {85, 55}, {86, 74}, {87, 78}, {88, 96}, {89, 79}, {90, 80}, {91, 81}, {92, 75},
    {93, 76}, {94, 77}, {95, 71}, {96, 72}, {97, 73}, {98, 82}, {99, 83}, {100, 86}, {103, 117},
    // F13 to F20.
    {104, 183}, {105, 184}, {106, 185}, {107, 186}, {108, 187}, {109, 188}, {110, 189}, {111, 190},
    // Volume, international and language keys.
    {127, 113}, {128, 115}, {129, 114}, {135, 89}, {137, 124}, {144, 122}, {145, 123},
    // Modifiers.
    {224, 29, control}, {225, 42, shift}, {226, 56, alternate}, {227, 125, command},
    {228, 97, control}, {229, 54, shift}, {230, 100, alternate}, {231, 126, command},
};

constexpr std::size_t rowCount = sizeof rows / sizeof rows[0];
static_assert(rowCount == 118);

constexpr std::array<KeyTable::Entry, rowCount> makeEntries() {
    std::array<KeyTable::Entry, rowCount> entries{};
    for (std::size_t i = 0; i < rowCount; ++i)
        entries[i] = {rows[i].usage, static_cast<std::uint8_t>(rows[i].input + 8), rows[i].flag};
    return entries;
}

constexpr std::array<KeyTable::Entry, rowCount> table = makeEntries();

// Row index + 1 by usage; 0 for none.
constexpr std::array<std::uint8_t, 256> makeIndex() {
    std::array<std::uint8_t, 256> index{};
    for (std::size_t i = 0; i < rowCount; ++i) index[rows[i].usage] = static_cast<std::uint8_t>(i + 1);
    return index;
}

constexpr std::array<std::uint8_t, 256> byUsage = makeIndex();

constexpr std::array<std::uint64_t, 256> makeFlags() {
    std::array<std::uint64_t, 256> flags{};
    for (const Row& row : rows) flags[row.input + 8] |= row.flag;
    return flags;
}

constexpr std::array<std::uint64_t, 256> flagByKeyCode = makeFlags();

constexpr std::array<bool, 256> makeKnown() {
    std::array<bool, 256> known{};
    for (const Row& row : rows) known[row.input + 8] = true;
    return known;
}

constexpr std::array<bool, 256> knownKeyCodes = makeKnown();

} // namespace

std::span<const KeyTable::Entry> KeyTable::entries() { return table; }

std::optional<KeyTable::Entry> KeyTable::find(std::uint16_t usage) {
    if (usage >= byUsage.size() || byUsage[usage] == 0) return std::nullopt;
    return table[byUsage[usage] - 1];
}

std::uint64_t KeyTable::modifierFlag(std::uint8_t keyCode) { return flagByKeyCode[keyCode]; }

bool KeyTable::contains(std::uint8_t keyCode) { return knownKeyCodes[keyCode]; }

} // namespace quillmere
