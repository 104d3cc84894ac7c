#pragma once

#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereMac/Surface/MediaConnection.h"
#include "QuillmereMacCore/InjectAction.h"
#include "QuillmereWire/ControlMessage.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

// What a host connection asks of the media side about control of this
// computer. requestControl is called on the main actor, the others on the
// calling connection's queue.
class ControlRequests {
public:
    virtual ~ControlRequests() = default;

    // Main actor. Control of one of the connection's own surfaces, its
    // prompt in the connection's scope: once that ends, nothing is granted.
    virtual void requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                                std::function<void(bool approved)> reply, std::shared_ptr<PromptScope> prompts) = 0;
    virtual void inject(const std::vector<InjectAction>& actions) = 0;
    // Before the session sees the hint.
    virtual void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection) = 0;
    // Whether the host may post input events.
    virtual bool permission() = 0;
};

} // namespace quillmere
