#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>

namespace quillmere {

// Where an audio stream hands its output: its connection.
class AudioSink {
public:
    virtual ~AudioSink() = default;

    // The stream's announcement, sent as a control message.
    virtual void sendAudioConfig(const msg::AudioConfig& config) = 0;
    // One encoded packet, from the stream's own queue; hostTimeNs is the
    // packet's time on the raw uptime clock.
    virtual void sendAudio(SharedBytes packet, std::uint32_t surfaceID, std::uint32_t sequence,
                           std::uint32_t generation, std::uint64_t hostTimeNs) = 0;
};

} // namespace quillmere
