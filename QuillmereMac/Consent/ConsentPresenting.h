#pragma once

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
    // paired devices.
    virtual void request(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) = 0;
    // Always prompts (clipboard reads and writes).
    virtual void enqueue(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) = 0;
};

} // namespace quillmere
