#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillmere {

// What the media side holds of the consent prompts. Both operations run on
// the main actor; each reply is called exactly once, on the main actor.
class ConsentPresenting {
public:
    using Reply = std::function<void(bool approved)>;

    virtual ~ConsentPresenting() = default;

    // Capture and control consent: may be approved without a prompt for
    // paired devices. Both return the prompt left waiting, 0 when none is.
    virtual std::uint64_t request(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) = 0;
    // Always prompts (clipboard reads and writes).
    virtual std::uint64_t enqueue(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) = 0;
    // The one who asked is gone: the prompt goes away at once and its reply
    // gets a refusal. A prompt already answered is left alone.
    virtual void withdraw(std::uint64_t prompt) = 0;
};

} // namespace quillmere
