#include "QuillmereMac/Audio/OpusEncoder.h"

#include <opus/opus.h>

namespace quillmere {

std::expected<std::unique_ptr<OpusEncoder>, OpusError> OpusEncoder::make(std::int32_t channels, std::int32_t frameMs,
                                                                         std::int32_t bitrate) {
    const std::int64_t frameSamples = std::int64_t{frameMs} * (sampleRate / 1000);
    if (frameSamples <= 0 || frameSamples > INT32_MAX) return std::unexpected(OpusError::create(OPUS_BAD_ARG));
    int error = OPUS_OK;
    ::OpusEncoder* state = opus_encoder_create(sampleRate, channels, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    if (!state || error != OPUS_OK) {
        if (state) opus_encoder_destroy(state);
        return std::unexpected(OpusError::create(error != OPUS_OK ? error : OPUS_ALLOC_FAIL));
    }
    opus_encoder_ctl(state, OPUS_SET_BITRATE(bitrate));
    return std::unique_ptr<OpusEncoder>(new OpusEncoder(state, channels, static_cast<std::int32_t>(frameSamples)));
}

OpusEncoder::~OpusEncoder() { opus_encoder_destroy(state_); }

std::expected<Bytes, OpusError> OpusEncoder::encode(std::span<const float> samples) {
    if (samples.size() != static_cast<std::size_t>(frameSamples_) * static_cast<std::size_t>(channels_))
        return std::unexpected(OpusError::encode(OPUS_BAD_ARG));
    Bytes packet(maxPacketBytes);
    const opus_int32 length =
        opus_encode_float(state_, samples.data(), frameSamples_, packet.data(), static_cast<opus_int32>(packet.size()));
    if (length < 1) return std::unexpected(OpusError::encode(length));
    packet.resize(static_cast<std::size_t>(length));
    return packet;
}

} // namespace quillmere
