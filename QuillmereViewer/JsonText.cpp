#include "QuillmereViewer/JsonText.h"

#include <fmt/format.h>

namespace quillmere {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) out += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
            else out += c;
        }
    }
    out += '"';
    return out;
}

} // namespace quillmere
