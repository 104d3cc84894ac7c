#pragma once

#include "QuillmereMac/Media/CaptureChoice.h"
#include "QuillmereMac/Media/ScreenShape.h"
#include "QuillmereMac/Media/SurfacePipeline.h"

#include "QuillmereMacCore/InjectAction.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireEnums.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

class HostConnection;

// What a host connection asks of the media side (the media pipeline). The
// operations marked "main actor" are called there, by tasks the connection
// starts; every other one on the calling connection's queue. Replies may be
// called on any thread; the connection hops back onto its own queue.
class SessionMediaDelegate {
public:
    virtual ~SessionMediaDelegate() = default;

    // Main actor. Asks for consent with a title made from the choice; the
    // reply runs once.
    virtual void requestConsent(CaptureChoice choice, std::uint32_t windowID, std::string clientName,
                                std::function<void(bool approved)> reply) = 0;
    // Builds and starts the surface's pipeline, owned by the connection.
    virtual void startSurface(std::uint32_t surfaceID, std::uint32_t windowID,
                              std::shared_ptr<HostConnection> connection) = 0;
    // Records the connection as the last one and starts its media beside the
    // surface (audio, cursor) as the client's features allow.
    virtual void beginMedia(std::uint32_t surfaceID, std::uint32_t windowID,
                            std::shared_ptr<HostConnection> connection) = 0;
    virtual void stopSurface(std::uint32_t surfaceID) = 0;
    virtual void setPaused(std::uint32_t surfaceID, bool paused) = 0;
    // Read under the surface table's lock.
    virtual std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID) = 0;
    virtual void inject(const std::vector<InjectAction>& actions) = 0;
    // Stores the budget (or removes it when clear) and refits the pipeline.
    virtual void setBudget(std::uint32_t surfaceID, std::int64_t width, std::int64_t height, bool clear) = 0;
    // Removes the budget table's entry without a refit.
    virtual void removeBudget(std::uint32_t surfaceID) = 0;
    virtual void setScreenShape(ScreenShape shape) = 0;
    // Main actor.
    virtual void setTextSize(std::uint8_t level) = 0;
    // Main actor.
    virtual void writeClipboard(std::string clientName, std::string text,
                                std::function<void(ClipboardOutcome)> reply) = 0;
    // Main actor.
    virtual void readClipboard(std::string clientName,
                               std::function<void(bool approved, std::optional<std::string> text)> reply) = 0;
    // Main actor.
    virtual void requestControl(std::string clientName, std::function<void(bool approved)> reply) = 0;
    // Main actor; the list may be delivered later, from any thread.
    virtual void windowList(std::function<void(std::vector<CaptureWindow>)> reply) = 0;
    // Before the session sees the hint.
    virtual void focusHint(const msg::FocusHint& hint) = 0;
    virtual bool testPatternEnabled() = 0;
    // Whether the host may post input events.
    virtual bool permission() = 0;
    // The connection that last began media, read under its lock.
    virtual std::weak_ptr<HostConnection> lastConnection() = 0;
};

} // namespace quillmere
