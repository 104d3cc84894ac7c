#pragma once

#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/TrustedPeer.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

namespace quillmere {

// A service the host engine starts, stops and keeps told of trust changes.
// Every call is made on the main actor.
class HostService {
public:
    virtual ~HostService() = default;

    // Shown in the engine's start-failure text.
    virtual const std::string& name() const = 0;
    // The error's text on failure.
    virtual std::expected<void, std::string> start(std::uint64_t generation) = 0;
    // done runs on the main actor once the service is stopped.
    virtual void stop(std::function<void()> done) = 0;
    // The trusted set becomes exactly these peers' fingerprints.
    virtual void trustChanged(const std::vector<TrustedPeer>& peers) = 0;
    // The device is no longer trusted: its live connections end.
    virtual void revoke(const Digest32& fingerprint) = 0;
};

} // namespace quillmere
