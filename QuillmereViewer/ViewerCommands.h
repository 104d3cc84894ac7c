#pragma once

#include "QuillmereViewer/Interruption.h"

#include <ostream>
#include <span>
#include <string_view>

namespace quillmere {

// The whole program but its entry: parses the arguments, runs the command,
// writes results to out and the one error line (and --verbose progress) to
// err, and returns the exit status.
int runViewer(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err,
              const Interruption& interruption);

} // namespace quillmere
