#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace quillmere {

// Whether the host starts with the user's desktop session. Two operations,
// so that the status model can be given another platform in tests.
struct LoginItem {
    // Whether the item is registered and the desktop would start it.
    std::function<bool()> enabled;
    // Registers (true) or unregisters (false); the failure's text otherwise.
    std::function<std::expected<void, std::string>(bool)> set;

    static constexpr std::string_view entryName = "quillmere-host.desktop";

    // An XDG autostart entry named entryName in the folder, which starts the
    // executable. Written whole or not at all.
    static LoginItem autostart(std::filesystem::path folder, std::filesystem::path executable);
    // autostart in the account's configuration folder (UserFolders); an
    // error without a home.
    static std::expected<std::filesystem::path, std::string> standardFolder();
    // The autostart entry of the standard folder; without one, an item that
    // is off and whose changes fail for the reason.
    static LoginItem standard(std::filesystem::path executable);
    // The running program's own file, links resolved.
    static std::filesystem::path runningProgram();
    // The desktop entry that starts the executable.
    static std::string entryText(const std::filesystem::path& executable);
    // Whether a desktop entry's text lets the session start it: not when it
    // is hidden or disabled for the desktop.
    static bool entryStarts(std::string_view text);
};

} // namespace quillmere
