#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillmere {

// A whole file as text; absent when it cannot be opened or read (sysfs and
// /proc files vanish and refuse reads as devices come and go).
std::optional<std::string> readTextFile(const std::filesystem::path& file);

} // namespace quillmere
