#include "Platform/DisplayConfiguration/DisplayConfigurationError.h"

namespace quillmere {

namespace {

const char* codeName(DisplayConfigurationError::Code code) {
    using Code = DisplayConfigurationError::Code;
    switch (code) {
    case Code::connectionFailed: return "connection failed";
    case Code::randrUnavailable: return "RandR unavailable";
    case Code::noSuchDisplay: return "no such display";
    case Code::noSuchMode: return "no such mode";
    case Code::tooLarge: return "too large";
    case Code::refused: return "refused";
    }
    return "refused";
}

} // namespace

std::string DisplayConfigurationError::description() const {
    std::string text = codeName(code);
    if (!detail.empty()) text += ": " + detail;
    return text;
}

} // namespace quillmere
