#include "Platform/AudioCapture/ProcessTree.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>

namespace quillmere {

namespace {

// Deeper than any real tree; a folder that loops stops here too.
constexpr std::size_t maximumDepth = 512;

} // namespace

ProcessTree::ProcessTree(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::int32_t> ProcessTree::parentInStat(std::string_view stat) {
    // The name may hold spaces and parentheses: the fields follow the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // " S 17 ...": the state, then the parent.
    const auto state = rest.find_first_not_of(' ');
    if (state == std::string_view::npos) return std::nullopt;
    rest = rest.substr(state);
    const auto space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest = rest.substr(space + 1);
    std::int32_t parent = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
    if (error != std::errc{} || (end != rest.data() + rest.size() && *end != ' ' && *end != '\n')) return std::nullopt;
    if (parent < 1) return std::nullopt;
    return parent;
}

std::vector<std::int32_t> ProcessTree::lineage(std::int32_t processID) const {
    std::vector<std::int32_t> chain{processID};
    while (chain.size() < maximumDepth) {
        std::ifstream file(root_ / std::to_string(chain.back()) / "stat");
        std::string line;
        if (!file || !std::getline(file, line)) break;
        const auto parent = parentInStat(line);
        if (!parent || std::find(chain.begin(), chain.end(), *parent) != chain.end()) break;
        chain.push_back(*parent);
    }
    return chain;
}

} // namespace quillmere
