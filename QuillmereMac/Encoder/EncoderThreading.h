#pragma once

namespace quillmere {

// How many threads the software encoder works a frame with: slice threads
// share each frame, lookahead threads share its low-resolution analysis.
// Chosen from the pixels per second and the processors this process can use.
// Measured at 1080p60: every slice thread past a few adds wake-ups and
// switches (more CPU) and no speed, and a lookahead pool as large as the
// slice pool costs more still, for analysis that one thread keeps up with
// when nothing looks ahead (zero latency). Not so at 4K, where that analysis
// alone holds each frame up by milliseconds.
struct EncoderThreading {
    int sliceThreads = 1;
    int lookaheadThreads = 1;

    static EncoderThreading choose(int usableProcessors, int width, int height, int fps);
    bool operator==(const EncoderThreading&) const = default;
};

} // namespace quillmere
