#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereMac/Audio/OpusError.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <span>

// The library's encoder state.

struct OpusEncoder;

namespace quillmere {

// One libopus encoder: 48 kHz, restricted low delay, a fixed bit rate.
class OpusEncoder {
public:
    static constexpr std::int32_t sampleRate = 48000;
    static constexpr std::size_t maxPacketBytes = 1500;

    static std::expected<std::unique_ptr<OpusEncoder>, OpusError> make(std::int32_t channels, std::int32_t frameMs,
                                                                       std::int32_t bitrate);
    ~OpusEncoder();
    OpusEncoder(const OpusEncoder&) = delete;
    OpusEncoder& operator=(const OpusEncoder&) = delete;

    // One frame of interleaved samples in, one packet out. A frame of any
    // other length is refused before the library sees it.
    std::expected<Bytes, OpusError> encode(std::span<const float> samples);

    std::int32_t channels() const { return channels_; }
    // Samples per channel in one frame.
    std::int32_t frameSamples() const { return frameSamples_; }

private:
    OpusEncoder(::OpusEncoder* state, std::int32_t channels, std::int32_t frameSamples)
        : state_(state), channels_(channels), frameSamples_(frameSamples) {}

    ::OpusEncoder* state_;
    std::int32_t channels_;
    std::int32_t frameSamples_;
};

} // namespace quillmere
