#pragma once

#include "QuillmereMac/Sending/DatagramPacer.h"
#include "QuillmereMac/Surface/SurfaceHandle.h"

#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/EncodedFrame.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace quillmere {

// Where audio streams hand their output (Audio/AudioSink.h).
class AudioSink;

// What the media side holds of one client's connection: where a surface's
// stream configurations, frames and ends go, and what the client can take.
// The host connection is the one implementation; a surface pipeline keeps its
// connection alive and compares connections by identity only.
class MediaConnection {
public:
    virtual ~MediaConnection() = default;

    // Any thread: the client's capabilities as last received.
    virtual std::optional<Capabilities> capabilitiesCopy() const = 0;

    // Any thread: each hops onto the connection's queue. The connection
    // stamps the epoch of configurations and frames: each keyframe it sends
    // starts a new one.
    virtual void announceStreamConfig(StreamConfig config) = 0;
    virtual void sendFrame(EncodedFrame frame) = 0;
    virtual void noteContentChanged(std::uint32_t surfaceID) = 0;
    virtual void endSurface(std::uint32_t surfaceID) = 0;

    // Waits on the connection's queue, which never waits on a pipeline's.
    // Reading resets the pacer's largest stack delay.
    virtual DatagramPacer::Metrics pacerMetrics() = 0;

    // Any thread. The pipeline now behind a surface, replacing any before
    // it; the connection keeps it until the surface stops, and numbers its
    // epochs from the first again.
    virtual void keepSurface(std::uint32_t, std::weak_ptr<SurfaceHandle>) {}
    // Any thread. Where the session's audio streams hand their packets;
    // none: the connection takes no audio.
    virtual std::shared_ptr<AudioSink> audioSink() { return nullptr; }
    // Any thread. A message the media side sends by itself (cursor shapes);
    // false when it cannot go out.
    virtual bool sendControl(const ControlMessage&) { return false; }
};

} // namespace quillmere
