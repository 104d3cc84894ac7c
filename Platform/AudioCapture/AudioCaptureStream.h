#pragma once

#include "Platform/AudioCapture/AudioCaptureError.h"
#include "Platform/AudioCapture/AudioCaptureFilter.h"
#include "Platform/AudioCapture/AudioSampleBuffer.h"
#include "Platform/Dispatch/Executor.h"

#include <expected>
#include <functional>
#include <memory>

namespace quillmere {

// What an audio capture delivers.
struct AudioCaptureConfiguration {
    // The sound of our own process and its descendants is never captured,
    // whatever the filter says.
    bool excludesCurrentProcessAudio = true;
    std::int32_t sampleRate = 48000;
    std::int32_t channelCount = 2;
};

// The sound of the applications a filter admits, as the sound server plays
// it: one monitor stream bound to each of their playback streams (on the
// monitor of the sink it plays to), mixed. Playback streams that start, end
// or move while capturing are followed; each one's process lineage is read
// from /proc whenever the streams are listed. Buffers are interleaved 32-bit
// float.
class AudioCaptureStream {
public:
    using Output = std::function<void(AudioSampleBuffer)>;
    // Capture ended without a stop: the server went away.
    using Stopped = std::function<void(AudioCaptureError)>;

    // How far behind the others a silent or late playback stream may fall.
    static constexpr std::int64_t maxLagMs = 20;
    // How much sound the server gathers before it hands it over.
    static constexpr std::int64_t fragmentMs = 10;

    AudioCaptureStream(AudioCaptureFilter filter, AudioCaptureConfiguration configuration);
    ~AudioCaptureStream();
    AudioCaptureStream(const AudioCaptureStream&) = delete;
    AudioCaptureStream& operator=(const AudioCaptureStream&) = delete;

    // Connects and starts following the admitted playback streams; output
    // and stopped run on the queue. Once only.
    std::expected<void, AudioCaptureError> start(std::shared_ptr<Executor> queue, Output output, Stopped stopped);
    // Ends capture and waits for the server's thread; nothing is handed to
    // the queue after it returns.
    void stop();

private:
    struct State;
    AudioCaptureFilter filter_;
    AudioCaptureConfiguration configuration_;
    std::shared_ptr<State> state_;
};

} // namespace quillmere
