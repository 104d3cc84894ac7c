#pragma once

#include "QuillmereBase/FileDescriptor.h"

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// Keeps the session from going idle (and its display from sleeping) through
// logind's idle inhibitor: the lock holds while its descriptor stays open.
class LogindIdleInhibitor {
public:
    // An open inhibitor descriptor; closing it (destruction) ends the lock.
    class Lock {
    public:
        explicit Lock(int fd) : fd_(fd) {}

        int fd() const { return fd_.get(); }

    private:
        FileDescriptor fd_;
    };

    // The system bus, or the bus at busAddress ("unix:path=...").
    explicit LogindIdleInhibitor(std::optional<std::string> busAddress = std::nullopt);

    // Calls Inhibit("idle", who, why, "block"); the error text says why it
    // could not.
    std::expected<Lock, std::string> inhibit(std::string_view who, std::string_view why) const;

private:
    std::optional<std::string> busAddress_;
};

} // namespace quillmere
