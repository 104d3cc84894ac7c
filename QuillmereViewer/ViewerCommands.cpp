#include "QuillmereViewer/ViewerCommands.h"

#include "QuillmereViewer/ConnectRunner.h"
#include "QuillmereViewer/PairingClient.h"
#include "QuillmereViewer/ViewerOptions.h"
#include "QuillmereViewer/ViewerState.h"

#include <fmt/format.h>

namespace quillmere {
namespace {

int fail(std::ostream& err, const ViewerError& error) {
    err << ViewerOptions::programName << ": error: " << error.text << '\n' << std::flush;
    return error.status;
}

std::string fullHex(const Digest32& digest) {
    std::string out;
    for (const std::uint8_t byte : digest.bytes()) out += fmt::format("{:02x}", byte);
    return out;
}

int pair(const viewer::PairCommand& command, const ViewerState& state, std::ostream& out, std::ostream& err,
         const Interruption& interruption) {
    auto host = PairingClient::run(command, state, interruption);
    if (!host) return fail(err, host.error());
    out << fmt::format("paired with \"{}\" (fingerprint {})\n", host->name, fullHex(host->fingerprint)) << std::flush;
    return 0;
}

int connect(const viewer::ConnectCommand& command, const ViewerState& state, std::ostream& out, std::ostream& err,
            const Interruption& interruption) {
    auto trust = state.trustStore();
    if (!trust) return fail(err, ViewerError{trust.error()});
    auto hosts = HostLocator::candidates(trust->peers(), command.peerName);
    if (!hosts) return fail(err, hosts.error());
    auto identity = state.identity();
    if (!identity) return fail(err, ViewerError{identity.error()});
    auto deviceID = state.deviceID();
    if (!deviceID) return fail(err, ViewerError{deviceID.error()});
    ConnectRunner::Progress progress;
    if (command.verbose) {
        progress = [&err](const std::string& text) { err << ViewerOptions::programName << ": " << text << '\n' << std::flush; };
    }
    ConnectRunner runner(command, std::move(*identity), *deviceID,
                         command.deviceName.value_or(state.deviceName().value_or(ViewerState::defaultDeviceName())),
                         std::move(*hosts), progress);
    auto summary = runner.run(interruption);
    if (!summary) return fail(err, summary.error());
    out << summary->json() << '\n' << std::flush;
    return summary->passed() ? 0 : ViewerError::checksFailed;
}

} // namespace

int runViewer(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err,
              const Interruption& interruption) {
    auto invocation = ViewerOptions::parse(arguments);
    if (!invocation)
        return fail(err, ViewerError{fmt::format("{} (see {} --help)", invocation.error().text, ViewerOptions::programName),
                                     ViewerError::usage});
    if (std::holds_alternative<viewer::HelpCommand>(invocation->command)) {
        out << ViewerOptions::usage() << std::flush;
        return 0;
    }
    auto folder = invocation->state ? std::expected<std::filesystem::path, std::string>(*invocation->state)
                                    : ViewerState::standardFolder();
    if (!folder) return fail(err, ViewerError{fmt::format("no state folder (give one with --state): {}", folder.error())});
    const ViewerState state(std::move(*folder));
    if (const auto* command = std::get_if<viewer::PairCommand>(&invocation->command))
        return pair(*command, state, out, err, interruption);
    return connect(std::get<viewer::ConnectCommand>(invocation->command), state, out, err, interruption);
}

} // namespace quillmere
