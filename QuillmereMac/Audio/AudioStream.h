#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereMac/Audio/AudioFrameNumbers.h"
#include "QuillmereMac/Audio/AudioSink.h"
#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Audio/OpusEncoder.h"
#include "QuillmereMac/Audio/SilenceReuse.h"
#include "QuillmereMacCore/AudioChunker.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere {

// One audio source carried to one client connection: 10 ms frames cut from
// the source's chunks, frames that waited too long dropped, each frame one
// Opus packet (or the cached packet during long silence), every packet
// handed to the connection as an audio datagram.
class AudioStream final : public std::enable_shared_from_this<AudioStream> {
public:
    static constexpr const char* queueLabel = "com.ornbeck.quillmeremac.audio.encode";
    static constexpr std::int32_t channels = 2;
    static constexpr std::int32_t frameMs = 10;
    static constexpr std::int64_t framesPerChunk = 480;
    static constexpr std::int64_t maxBacklogChunks = 10;
    static constexpr std::int32_t bitrate = 128000;
    static constexpr std::uint64_t maxLatenessNs = 40'000'000;

    struct Stats {
        std::int64_t chunks = 0;
        std::int64_t packets = 0;
        std::int64_t encodeErrors = 0;
        std::int64_t droppedLate = 0;
        std::int64_t silentReused = 0;
        bool operator==(const Stats&) const = default;
    };

    struct Options {
        // The surface the packets carry: 1 for the session-wide stream.
        std::uint32_t surfaceID = 1;
        // Whether start sends the audio configuration message.
        bool announces = true;
        std::uint32_t generation = 1;
        // A queue of its own, and the raw uptime clock, unless given.
        std::shared_ptr<Executor> queue;
        std::function<std::uint64_t()> clock;
        // Shared by the client's streams; without it the stream numbers from 1.
        std::shared_ptr<AudioFrameNumbers> numbers;
    };

    static std::shared_ptr<AudioStream> make(std::shared_ptr<AudioSource> source, std::shared_ptr<AudioSink> connection,
                                             Options options);

    // Makes the encoder, starts the source, then announces when it should;
    // what the source delivers meanwhile is held until the announcement is
    // out. An encoder that cannot be made leaves everything as it was; a
    // source that cannot start leaves the stream running with nothing to
    // carry, and unannounced.
    std::expected<void, CaptureStartError> start();
    // Ends encoding, then the source.
    void stop();
    // The source's handler: hops onto the stream's queue.
    void enqueue(PCMChunk chunk);

    // Waits on the stream's queue.
    Stats stats() const;
    std::uint32_t surfaceID() const { return surfaceID_; }
    bool announces() const { return announces_; }

    AudioStream(std::shared_ptr<AudioSource> source, std::shared_ptr<AudioSink> connection, Options options);

private:
    void pump(const PCMChunk& chunk);
    void handOver(SharedBytes packet, std::uint64_t hostTimeNs);

    const std::shared_ptr<AudioSource> source_;
    const std::shared_ptr<AudioSink> connection_;
    const std::shared_ptr<Executor> queue_;
    const std::function<std::uint64_t()> clock_;
    const std::uint32_t generation_;
    const std::uint32_t surfaceID_;
    const bool announces_;
    const std::shared_ptr<AudioFrameNumbers> numbers_;
    // Touched on the queue only.
    AudioChunker chunker_{framesPerChunk, channels, maxBacklogChunks};
    std::unique_ptr<OpusEncoder> encoder_;
    SilenceReuse silence_;
    std::uint32_t sequence_ = 0;
    bool running_ = false;
    // Chunks that came before the announcement went out.
    bool holding_ = false;
    std::vector<PCMChunk> held_;
    Stats stats_;
};

} // namespace quillmere
