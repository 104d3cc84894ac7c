#include "QuillmereMac/App/LoginItem.h"

#include "Platform/Files/UserFolders.h"

#include <QSaveFile>
#include <QString>

#include <fstream>
#include <sstream>
#include <system_error>

namespace quillmere {

namespace {

// One argument of an Exec key: quoted when it holds anything the launcher
// would split or expand, then escaped again as a desktop-entry string.
std::string execArgument(const std::string& argument) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted;
    if (argument.find_first_of(reserved) == std::string::npos) {
        quoted = argument;
    } else {
        quoted = "\"";
        for (const char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        quoted += '"';
    }
    std::string out;
    for (const char c : quoted) {
        if (c == '%') out += "%%";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

std::expected<void, std::string> writeEntry(const std::filesystem::path& folder,
                                            const std::filesystem::path& executable) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return std::unexpected(error.message());
    QSaveFile file(QString::fromStdString((folder / std::string(LoginItem::entryName)).string()));
    if (!file.open(QIODevice::WriteOnly)) return std::unexpected(file.errorString().toStdString());
    const std::string text = LoginItem::entryText(executable);
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit())
        return std::unexpected(file.errorString().toStdString());
    return {};
}

std::expected<void, std::string> removeEntry(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::remove(folder / std::string(LoginItem::entryName), error);
    if (error) return std::unexpected(error.message());
    return {};
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

bool LoginItem::entryStarts(std::string_view text) {
    bool inMainGroup = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos) continue;
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (key == "Hidden" && value == "true") return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
    }
    return true;
}

LoginItem LoginItem::autostart(std::filesystem::path folder, std::filesystem::path executable) {
    LoginItem item;
    item.enabled = [folder] {
        const std::filesystem::path entry = folder / std::string(entryName);
        std::error_code error;
        if (!std::filesystem::is_regular_file(entry, error)) return false;
        std::ifstream file(entry);
        if (!file) return false;
        std::stringstream text;
        text << file.rdbuf();
        return entryStarts(text.str());
    };
    item.set = [folder, executable](bool on) { return on ? writeEntry(folder, executable) : removeEntry(folder); };
    return item;
}

std::expected<std::filesystem::path, std::string> LoginItem::standardFolder() {
    auto config = UserFolders::of(UserFolders::config);
    if (!config) return config;
    return *config / "autostart";
}

LoginItem LoginItem::standard(std::filesystem::path executable) {
    auto folder = standardFolder();
    if (folder) return autostart(std::move(*folder), std::move(executable));
    LoginItem item;
    item.enabled = [] { return false; };
    item.set = [why = folder.error()](bool) -> std::expected<void, std::string> { return std::unexpected(why); };
    return item;
}

std::filesystem::path LoginItem::runningProgram() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("quillmere-host") : path;
}

std::string LoginItem::entryText(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillmere\n"
           "Comment=Share this computer's windows with your iPhone\n"
           "Exec=" +
           execArgument(executable.string()) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

} // namespace quillmere
