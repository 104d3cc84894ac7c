#pragma once

#include "QuillmereWire/TrustedPeer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

enum class PermissionState : std::uint8_t { granted, notGranted };

struct PermissionSnapshot {
    PermissionState screenRecording = PermissionState::notGranted;
    PermissionState accessibility = PermissionState::notGranted;
    bool operator==(const PermissionSnapshot&) const = default;
};

// What the user interface shows of the host.
struct HostStatus {
    enum class Phase : std::uint8_t { stopped, running, stopping };

    Phase phase = Phase::stopped;
    PermissionSnapshot permissions;
    std::vector<TrustedPeer> pairedDevices;
    std::optional<std::string> activeSession;
    int activeSessionCount = 0; // never below 0
    std::optional<std::string> lastError;
    // What is wrong with the paired devices now, beside their list; none
    // when nothing is.
    std::optional<std::string> trustProblem;

    bool operator==(const HostStatus&) const = default;
};

} // namespace quillmere
