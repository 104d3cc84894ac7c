#pragma once

#include "QuillmereViewer/Interruption.h"
#include "QuillmereViewer/ViewerError.h"
#include "QuillmereViewer/ViewerOptions.h"
#include "QuillmereViewer/ViewerState.h"
#include "QuillmereWire/TrustedPeer.h"

#include <expected>
#include <functional>
#include <string>

namespace quillmere {

// Pairs with the host of an invitation over a pairing connection pinned to
// the invitation's fingerprint, and keeps the host among the paired hosts.
// Blocks its caller until pairing is over.
class PairingClient {
public:
    using Progress = std::function<void(const std::string&)>;

    static constexpr double closeGraceSeconds = 1.0;
    static constexpr double handshakeTimeoutSeconds = 10.0;

    static std::expected<TrustedPeer, ViewerError> run(const viewer::PairCommand& command, const ViewerState& state,
                                                       const Interruption& interruption, Progress progress = {});
};

} // namespace quillmere
