#pragma once

#include <chrono>
#include <functional>

namespace quillmere::testing {

// How long a test waits for something that should happen soon: far above
// what it takes on a loaded two-core machine under the sanitizers, so that
// only a real fault runs into it.
inline constexpr std::chrono::milliseconds patience = std::chrono::seconds(20);

// Asks the condition again every millisecond or two until it holds, for at
// most the limit; true when it held. The condition runs on the calling thread.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = patience);

} // namespace quillmere::testing
