#pragma once

#include "Platform/Dispatch/Executor.h"

#include <cstdint>
#include <memory>

namespace quillmere {

class HostConnection;

// What the host service uses of one surface's pipeline. The pipeline's own
// state lives on its queue: the operations marked so must run there.
class SurfacePipeline : public std::enable_shared_from_this<SurfacePipeline> {
public:
    virtual ~SurfacePipeline() = default;

    virtual Executor& queue() = 0;
    // The connection the pipeline sends to; compared by identity only.
    virtual std::weak_ptr<HostConnection> connection() const = 0;

    // On the queue: the next encoded frame becomes a keyframe.
    virtual void setKeyframeRequested() = 0;
    // On the queue: the encoder's bit rate.
    virtual void setBitrate(std::uint32_t kbps) = 0;
    // On the queue: the tier's frame rate (capped by the pipeline's own) and
    // bit rate.
    virtual void applyTier(std::int64_t fps, std::uint32_t kbps) = 0;

    // From any queue: sets the keyframe flag on the pipeline's queue.
    void requestKeyframe() {
        queue().async([self = shared_from_this()] { self->setKeyframeRequested(); });
    }
};

} // namespace quillmere
