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
// instead of analysing them, and a quantizer per frame from
// EncoderRateControl in place of x264's rate control.
class EncoderX264 : public EncoderSession {
public:
    // H.264 only; even sides only.
    static std::expected<std::unique_ptr<EncoderX264>, EncoderError> open(const EncoderConfig& config);

    ~EncoderX264() override;
    EncoderX264(const EncoderX264&) = delete;
    EncoderX264& operator=(const EncoderX264&) = delete;

    const std::vector<EncoderPropertyStatus>& properties() const override;
    bool changesBitrateLive() const override { return true; }
    bool skipsConstantMacroblocks() const override { return true; }
    std::int32_t encode(const PixelBuffer& frame, std::shared_ptr<void> keepAlive, std::int64_t pts,
                        bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks,
                        const PacketSink& sink) override;
    void setBitrate(std::int64_t bitsPerSecond) override;

    struct Codec;

private:
    explicit EncoderX264(std::unique_ptr<Codec> codec);

    std::unique_ptr<Codec> codec_;
};

} // namespace quillmere
