#pragma once

#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereMac/Media/SurfacePipeline.h"
#include "QuillmereMac/Surface/CaptureChoice.h"
#include "QuillmereMac/Surface/MediaConnection.h"
#include "QuillmereMac/Surface/RequestedBox.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// What a host connection asks of the media side about its surfaces: the
// capture list and consent, starting, pausing, budgeting and stopping them.
// The operations marked "main actor" are called there, by tasks the
// connection starts; every other one on the calling connection's queue.
// Replies may be called on any thread.
//
// Surfaces belong to connections: two clients may both share a surface 1,
// so every surface operation names the connection it comes from.
class SurfaceRequests {
public:
    virtual ~SurfaceRequests() = default;

    // Main actor. Asks the user about sharing a capture choice with the
    // device, in the connection's scope: once that ends, nothing is
    // approved. The reply runs once.
    virtual void requestCaptureConsent(std::string deviceName, std::uint32_t captureID,
                                       std::function<void(bool approved)> reply,
                                       std::shared_ptr<PromptScope> prompts) = 0;
    // Builds and starts the surface's pipeline, owned by the connection.
    virtual void startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                              std::shared_ptr<MediaConnection> connection) = 0;
    // Records the connection as the last one, starts sending and starts its
    // media beside the surface as the client's features allow.
    virtual void beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                            std::shared_ptr<MediaConnection> connection) = 0;
    virtual void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) = 0;
    virtual void setPaused(std::uint32_t surfaceID, bool paused,
                           const std::shared_ptr<MediaConnection>& connection) = 0;
    // Read under the surface table's lock.
    virtual std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                                      const std::shared_ptr<MediaConnection>& connection) = 0;
    // Stores the budget and refits the surface's capture; no box only
    // removes the stored one.
    virtual void setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                                  const std::shared_ptr<MediaConnection>& connection) = 0;
    // Removes the stored budget without a refit.
    virtual void clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) = 0;
    // Main actor; the list may be delivered later, from any thread.
    virtual void captureList(std::function<void(std::vector<CaptureWindow>)> reply) = 0;
    virtual bool testPatternEnabled() = 0;
    // The connection that last began media, read under its lock.
    virtual std::shared_ptr<MediaConnection> lastConnection() = 0;
};

} // namespace quillmere
