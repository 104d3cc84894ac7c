#pragma once

namespace quillmere {

// What a connection keeps of each of its surfaces' pipelines: the way its
// keyframe requests reach the pipeline, without a look-up in the media side.
class SurfaceHandle {
public:
    virtual ~SurfaceHandle() = default;

    // Any thread; the pipeline takes it on its own queue.
    virtual void requestKeyframe() = 0;
};

} // namespace quillmere
