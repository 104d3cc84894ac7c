#include "QuillmereBase/TextFile.h"

#include <fstream>
#include <iterator>

namespace quillmere {

std::optional<std::string> readTextFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

} // namespace quillmere
