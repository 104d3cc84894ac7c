#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// The display listed first (and numbered 1) by the window catalog; absent
// means the main display. Process-wide, behind a lock of its own that guards
// nothing else.
std::optional<std::uint32_t> preferredDisplayID();
void setPreferredDisplayID(std::optional<std::uint32_t> displayID);

} // namespace quillmere
