#pragma once

#include "QuillmereMac/Encoder/EncoderConfig.h"
#include "QuillmereMac/Encoder/EncoderError.h"
#include "QuillmereMac/Encoder/EncoderSession.h"

#include <expected>
#include <memory>
#include <string>

namespace quillmere {

// libx264 on the CPU, called directly: the settings libavcodec's wrapper
// makes, plus the macroblocks known to be unchanged, which x264 then skips
// instead of analysing them. x264's own rate control (average bit rate
// within a buffer) gives each frame the share of the rate its real interval
// earns, keyframes come at least every so many seconds, and a still picture
// is refined down to a floor (RefinementLadder). A rate or buffer x264
// refuses is logged once a kind and counted; it goes on at the last ones it
// took.
class EncoderX264 : public EncoderSession {
public:
    // The finest quantizer a refinement codes at; the rate mostly stops it
    // sooner.
    static constexpr int refinementFloor = 0;

    // H.264 only; even sides only.
    static std::expected<std::unique_ptr<EncoderX264>, EncoderError> open(const EncoderConfig& config);

    ~EncoderX264() override;
    EncoderX264(const EncoderX264&) = delete;
    EncoderX264& operator=(const EncoderX264&) = delete;

    const std::vector<EncoderPropertyStatus>& properties() const override;
    bool changesBitrateLive() const override { return true; }
    bool skipsConstantMacroblocks() const override { return true; }
    std::int32_t encode(const PixelBuffer& frame, std::shared_ptr<void> keepAlive, std::int64_t pts,
                        bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks, Purpose purpose,
                        const PacketSink& sink) override;
    void setBitrate(std::int64_t bitsPerSecond) override;
    std::int64_t refusedSettings() const override;

    struct Codec;

private:
    explicit EncoderX264(std::unique_ptr<Codec> codec);

    std::unique_ptr<Codec> codec_;
};

} // namespace quillmere
