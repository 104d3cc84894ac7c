#pragma once

#include "QuillmereViewer/CaptureSelector.h"
#include "QuillmereViewer/InputScript.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere {

// What the command line asks for. Parsing checks every value; nothing here
// touches the state folder or the network.
namespace viewer {

struct HelpCommand {
    bool operator==(const HelpCommand&) const = default;
};

struct PairCommand {
    std::string invitation;
    std::optional<std::string> deviceName;
    // Waiting for the user on the host included.
    double timeoutSeconds = 180;
    bool operator==(const PairCommand&) const = default;
};

struct ConnectCommand {
    // Both or neither; without them the host is found by its advertisement.
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    // Which paired host, by the name it paired under.
    std::optional<std::string> peerName;
    std::optional<std::string> deviceName;
    CaptureSelector select;
    // Report the capture list and end.
    bool listOnly = false;
    std::optional<std::int64_t> frameLimit;
    std::optional<double> durationSeconds;
    std::uint16_t maxWidth = 1920;
    std::uint16_t maxHeight = 1080;
    std::uint16_t maxFPS = 60;
    std::optional<std::filesystem::path> timingLog;
    std::optional<std::filesystem::path> snapshots;
    std::int64_t snapshotEvery = 30;
    bool expectTestPattern = false;
    std::vector<InputStep> input;
    // Between one input event and the next.
    std::int64_t inputEveryMs = 50;
    bool pullClipboard = false;
    std::int64_t retries = 5;
    double timeoutSeconds = 10;
    bool verbose = false;
    bool operator==(const ConnectCommand&) const = default;
};

using Command = std::variant<HelpCommand, PairCommand, ConnectCommand>;

struct Invocation {
    // Absent: the standard folder.
    std::optional<std::filesystem::path> state;
    Command command;
};

} // namespace viewer

struct UsageError {
    std::string text;
    bool operator==(const UsageError&) const = default;
};

struct ViewerOptions {
    static constexpr std::string_view programName = "quillmere-viewer";

    // The arguments after the program name.
    static std::expected<viewer::Invocation, UsageError> parse(std::span<const std::string_view> arguments);
    // Every command and option, for --help.
    static std::string usage();
};

} // namespace quillmere
