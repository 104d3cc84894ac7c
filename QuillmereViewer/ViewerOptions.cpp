#include "QuillmereViewer/ViewerOptions.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace quillmere {
namespace {

using viewer::ConnectCommand;
using viewer::PairCommand;

std::unexpected<UsageError> usageError(std::string text) { return std::unexpected(UsageError{std::move(text)}); }

template <class T>
std::optional<T> parseInteger(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parseSeconds(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value) || value <= 0 || value > 1e9) return std::nullopt;
    return value;
}

// Walks the arguments; every option that takes a value takes the next one.
class Arguments {
public:
    explicit Arguments(std::span<const std::string_view> arguments) : arguments_(arguments) {}

    bool done() const { return index_ >= arguments_.size(); }
    std::string_view next() { return arguments_[index_++]; }
    std::expected<std::string_view, UsageError> value(std::string_view option) {
        if (done()) return usageError(fmt::format("{} needs a value", option));
        return next();
    }

private:
    std::span<const std::string_view> arguments_;
    std::size_t index_ = 0;
};

std::expected<std::string, UsageError> deviceName(std::string_view option, std::string_view text) {
    if (text.empty() || !isValidUTF8(text) || containsControlCharacter(text))
        return usageError(fmt::format("{} needs a name of printable UTF-8 text", option));
    if (text.size() > WireProtocol::maxNameBytes)
        return usageError(fmt::format("{} is longer than {} bytes", option, WireProtocol::maxNameBytes));
    return std::string(text);
}

std::expected<std::uint16_t, UsageError> positiveU16(std::string_view option, std::string_view text) {
    const auto value = parseInteger<std::uint16_t>(text);
    if (!value || *value == 0)
        return usageError(fmt::format("{} needs a whole number from 1 to 65535, not \"{}\"", option, text));
    return *value;
}

std::expected<std::int64_t, UsageError> count(std::string_view option, std::string_view text, std::int64_t minimum) {
    const auto value = parseInteger<std::int64_t>(text);
    if (!value || *value < minimum)
        return usageError(fmt::format("{} needs a whole number of at least {}, not \"{}\"", option, minimum, text));
    return *value;
}

std::expected<double, UsageError> seconds(std::string_view option, std::string_view text) {
    const auto value = parseSeconds(text);
    if (!value) return usageError(fmt::format("{} needs a positive number of seconds, not \"{}\"", option, text));
    return *value;
}

std::expected<std::pair<std::uint16_t, std::uint16_t>, UsageError> pair(std::string_view option,
                                                                         std::string_view text, char separator) {
    const auto split = text.find(separator);
    if (split != std::string_view::npos) {
        const auto first = parseInteger<std::uint16_t>(text.substr(0, split));
        const auto second = parseInteger<std::uint16_t>(text.substr(split + 1));
        if (first && second) return std::pair{*first, *second};
    }
    return usageError(fmt::format("{} needs two whole numbers from 0 to 65535 as A{}B, not \"{}\"", option,
                                  separator, text));
}

std::expected<PairCommand, UsageError> parsePair(Arguments& arguments, std::optional<std::filesystem::path>& state) {
    PairCommand command;
    std::optional<std::string> invitation;
    while (!arguments.done()) {
        const std::string_view argument = arguments.next();
        if (argument == "--state") {
            auto value = arguments.value(argument);
            if (!value) return std::unexpected(value.error());
            state = std::filesystem::path(*value);
        } else if (argument == "--name") {
            auto value = arguments.value(argument);
            if (!value) return std::unexpected(value.error());
            auto name = deviceName(argument, *value);
            if (!name) return std::unexpected(name.error());
            command.deviceName = *name;
        } else if (argument == "--timeout") {
            auto value = arguments.value(argument);
            if (!value) return std::unexpected(value.error());
            auto parsed = seconds(argument, *value);
            if (!parsed) return std::unexpected(parsed.error());
            command.timeoutSeconds = *parsed;
        } else if (argument.starts_with("-")) {
            return usageError(fmt::format("pair has no option {}", argument));
        } else if (invitation) {
            return usageError("pair takes one invitation");
        } else {
            invitation = std::string(argument);
        }
    }
    if (!invitation) return usageError("pair needs the invitation text the host shows");
    command.invitation = *invitation;
    return command;
}

// The options of connect that take a value.
std::expected<void, UsageError> connectValue(ConnectCommand& command, std::string_view option,
                                             std::string_view value) {
    auto fail = [](const UsageError& error) { return std::unexpected(error); };
    if (option == "--host") {
        if (value.empty()) return usageError("--host needs an address");
        command.host = std::string(value);
    } else if (option == "--port") {
        auto port = positiveU16(option, value);
        if (!port) return fail(port.error());
        command.port = *port;
    } else if (option == "--peer") {
        if (value.empty()) return usageError("--peer needs the paired host's name");
        command.peerName = std::string(value);
    } else if (option == "--name") {
        auto name = deviceName(option, value);
        if (!name) return fail(name.error());
        command.deviceName = *name;
    } else if (option == "--select") {
        auto selector = CaptureSelector::parse(value);
        if (!selector) return usageError(fmt::format("--select: {}", selector.error()));
        command.select = *selector;
    } else if (option == "--frames") {
        auto frames = count(option, value, 1);
        if (!frames) return fail(frames.error());
        command.frameLimit = *frames;
    } else if (option == "--duration") {
        auto duration = seconds(option, value);
        if (!duration) return fail(duration.error());
        command.durationSeconds = *duration;
    } else if (option == "--max-size") {
        auto size = pair(option, value, 'x');
        if (!size) return fail(size.error());
        if (size->first < 64 || size->second < 64) return usageError("--max-size needs at least 64x64");
        command.maxWidth = size->first;
        command.maxHeight = size->second;
    } else if (option == "--fps") {
        auto fps = positiveU16(option, value);
        if (!fps) return fail(fps.error());
        command.maxFPS = *fps;
    } else if (option == "--timing-log") {
        if (value.empty()) return usageError("--timing-log needs a file");
        command.timingLog = std::filesystem::path(value);
    } else if (option == "--snapshots") {
        if (value.empty()) return usageError("--snapshots needs a folder");
        command.snapshots = std::filesystem::path(value);
    } else if (option == "--snapshot-every") {
        auto every = count(option, value, 1);
        if (!every) return fail(every.error());
        command.snapshotEvery = *every;
    } else if (option == "--type") {
        if (value.empty()) return usageError("--type needs a text");
        if (!isValidUTF8(value)) return usageError("--type needs UTF-8 text");
        if (containsControlCharacter(value))
            return usageError("--type text may hold tabs and line feeds but no other control characters");
        command.input.emplace_back(std::in_place_type<input_step::Type>, std::string(value));
    } else if (option == "--move") {
        auto position = pair(option, value, ',');
        if (!position) return fail(position.error());
        command.input.emplace_back(std::in_place_type<input_step::Move>, position->first, position->second);
    } else if (option == "--input-every") {
        auto every = count(option, value, 1);
        if (!every) return fail(every.error());
        command.inputEveryMs = *every;
    } else if (option == "--retries") {
        auto retries = count(option, value, 0);
        if (!retries) return fail(retries.error());
        command.retries = *retries;
    } else if (option == "--timeout") {
        auto timeout = seconds(option, value);
        if (!timeout) return fail(timeout.error());
        command.timeoutSeconds = *timeout;
    }
    return {};
}

std::expected<ConnectCommand, UsageError> parseConnect(Arguments& arguments,
                                                       std::optional<std::filesystem::path>& state) {
    static constexpr std::string_view valued[] = {
        "--host", "--port", "--peer", "--name", "--select", "--frames", "--duration", "--max-size", "--fps",
        "--timing-log", "--snapshots", "--snapshot-every", "--type", "--move", "--input-every", "--retries",
        "--timeout"};
    ConnectCommand command;
    bool snapshotEveryGiven = false;
    while (!arguments.done()) {
        const std::string_view argument = arguments.next();
        if (argument == "--state") {
            auto value = arguments.value(argument);
            if (!value) return std::unexpected(value.error());
            state = std::filesystem::path(*value);
        } else if (argument == "--list") {
            command.listOnly = true;
        } else if (argument == "--expect-test-pattern") {
            command.expectTestPattern = true;
        } else if (argument == "--click") {
            command.input.emplace_back(std::in_place_type<input_step::Click>);
        } else if (argument == "--pull-clipboard") {
            command.pullClipboard = true;
        } else if (argument == "--verbose") {
            command.verbose = true;
        } else if (std::find(std::begin(valued), std::end(valued), argument) != std::end(valued)) {
            auto value = arguments.value(argument);
            if (!value) return std::unexpected(value.error());
            if (auto applied = connectValue(command, argument, *value); !applied)
                return std::unexpected(applied.error());
            snapshotEveryGiven = snapshotEveryGiven || argument == "--snapshot-every";
        } else {
            return usageError(fmt::format("connect has no {} {}", argument.starts_with("-") ? "option" : "argument",
                                          argument));
        }
    }
    if (command.host.has_value() != command.port.has_value())
        return usageError("--host and --port go together");
    if (snapshotEveryGiven && !command.snapshots) return usageError("--snapshot-every needs --snapshots");
    if (command.listOnly && (command.frameLimit || command.durationSeconds || !command.input.empty() ||
                             command.expectTestPattern || command.snapshots || command.timingLog ||
                             command.pullClipboard))
        return usageError("--list ends after the capture list; it takes no streaming options");
    return command;
}

} // namespace

std::expected<viewer::Invocation, UsageError> ViewerOptions::parse(std::span<const std::string_view> arguments) {
    Arguments walk(arguments);
    viewer::Invocation invocation{std::nullopt, viewer::HelpCommand{}};
    while (!walk.done()) {
        const std::string_view argument = walk.next();
        if (argument == "--state") {
            auto value = walk.value(argument);
            if (!value) return std::unexpected(value.error());
            invocation.state = std::filesystem::path(*value);
        } else if (argument == "help" || argument == "--help" || argument == "-h") {
            invocation.command = viewer::HelpCommand{};
            return invocation;
        } else if (argument == "pair") {
            auto command = parsePair(walk, invocation.state);
            if (!command) return std::unexpected(command.error());
            invocation.command = std::move(*command);
            return invocation;
        } else if (argument == "connect") {
            auto command = parseConnect(walk, invocation.state);
            if (!command) return std::unexpected(command.error());
            invocation.command = std::move(*command);
            return invocation;
        } else {
            return usageError(fmt::format("unknown command \"{}\"", argument));
        }
    }
    return usageError("a command is needed: pair or connect");
}

std::string ViewerOptions::usage() {
    return R"(Usage: quillmere-viewer [--state DIR] COMMAND [OPTIONS]

Pairs with a Quillmere host, then opens sharing sessions and reports what it received.

Commands:
  pair INVITATION       Pair with the host whose invitation text ("quillmere:1:...") is given:
                        checks the host's fingerprint, asks the host's user to approve and keeps
                        the host as a trusted peer. Prints the paired host on success.
      --name NAME         device name shown on the host, kept for later sessions
                          (default: the name kept, else "Quillmere Viewer on <host name>")
      --timeout SECONDS   give up after this long, approval included (default 180)

  connect               Open a session with a paired host: list its captures, select one,
                        receive, assemble and decode its frames, and print one JSON summary.
      --host ADDRESS      connect to this address instead of browsing for the host's advertisement
      --port PORT         the host's session port (goes with --host)
      --peer NAME         the paired host to use when several are paired
      --name NAME         device name sent in the hello (default: the name the viewer paired under)
      --select WHAT       the capture to show: a window identifier (1234 or 0x4d2), display:N
                          for the display of index N (display:0 is the first), or a text in
                          the window's title (title:TEXT); default: the first one the host lists
      --list              report the capture list in the summary and end
      --frames N          end after N decoded frames
      --duration SECONDS  end after streaming this long (default: until interrupted with Ctrl-C)
      --max-size WxH      largest picture to ask for (default 1920x1080)
      --fps N             highest frame rate to ask for (default 60)
      --timing-log FILE   write one JSON timing record per received frame
      --snapshots DIR     write decoded frames as PNG files, frame-<number>.png: the number the
                          test pattern shows with --expect-test-pattern, else the frame's own.
                          Frames that cannot be written in time are skipped, as are those still
                          waiting at Ctrl-C; the summary counts them ("snapshotsSkipped")
      --snapshot-every N  with --snapshots, every Nth decoded frame, the first included (default 30)
      --expect-test-pattern
                          read the frame number the host's test pattern shows in every decoded
                          frame; numbers must rise from frame to frame
      --type TEXT         type this text once control is granted
      --move X,Y          move the pointer to X,Y once control is granted, each 0-65535
                          across the picture (0,0 top left, 65535,65535 bottom right)
      --click             click the left button once control is granted
                          (input goes in the order given; control is asked for once streaming)
      --input-every MS    milliseconds between one input event and the next (default 50); each
                          --type text is one event
      --pull-clipboard    ask once streaming for the host's clipboard text; the summary reports the
                          answer ("clipboard") and how long it took
      --retries N         reconnect attempts after the connection drops (default 5, 0: none)
      --timeout SECONDS   limit for each connection handshake and for finding the host (default 10)
      --verbose           report progress on standard error

  help, --help, -h      Show this text.

Options of every command:
  --state DIR           folder of the viewer's identity, device identifier and paired hosts
                        (default: $XDG_DATA_HOME/quillmere-viewer, else ~/.local/share/quillmere-viewer)

The summary of connect is one JSON object on standard output: frames delivered, decoded and
corrupt, losses by reason, recovery requests, clock offset, latency from capture to decoded
frame (percentiles in milliseconds), the test-pattern check, the input sent, the clipboard's
answer and the snapshots written and skipped.

Exit status: 0 the session passed every check; 1 it ran but a check failed (no frame decoded,
a corrupt frame, a test-pattern mismatch, capture or control refused, a clipboard pull not
answered, the host ended early); 2 bad arguments; 3 the host could not be paired, found or
reached, or refused this viewer.
Errors are reported as one line on standard error.
)";
}

} // namespace quillmere
