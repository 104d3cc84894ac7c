#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// Where this account keeps its data, settings and caches: the XDG folders,
// or the account's home when a variable is unset or not an absolute path.
// The home is $HOME when absolute, else the password database's. Without a
// home the answer is an error, never a folder shared with other accounts.
class UserFolders {
public:
    struct Kind {
        std::string_view variable;
        // Under the home when the variable does not answer.
        std::string_view underHome;
    };
    static constexpr Kind data{"XDG_DATA_HOME", ".local/share"};
    static constexpr Kind config{"XDG_CONFIG_HOME", ".config"};
    static constexpr Kind cache{"XDG_CACHE_HOME", ".cache"};

    // This process's answer for the kind.
    static std::expected<std::filesystem::path, std::string> of(const Kind& kind);
    static std::expected<std::filesystem::path, std::string> home();

    // The rule itself, over given values (absent: unset).
    static std::expected<std::filesystem::path, std::string> resolve(const Kind& kind, const char* variable,
                                                                     const char* home,
                                                                     const std::optional<std::string>& accountHome);
    static std::expected<std::filesystem::path, std::string> resolveHome(const char* home,
                                                                         const std::optional<std::string>& accountHome);

    // The password database's home of this process's user, when absolute.
    static std::optional<std::string> accountHome();
};

} // namespace quillmere
