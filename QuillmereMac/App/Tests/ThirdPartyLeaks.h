#pragma once

namespace quillmere::testing {

// LeakSanitizer reports memory that fontconfig (Qt's font database) and
// libdbus (Qt's session-bus connection) keep until the process ends. The
// reports concern those libraries, not this code; they are silenced for the
// shell's tests and the programs they start, and nothing else is.
inline constexpr const char* thirdPartyLeaks = "leak:libfontconfig.so\nleak:libdbus-1.so\n";

} // namespace quillmere::testing
