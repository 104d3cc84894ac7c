#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereMac/Encoder/EncoderConfig.h"
#include "QuillmereMac/Encoder/EncoderError.h"
#include "QuillmereMac/Encoder/EncoderPropertyStatus.h"
#include "QuillmereMac/Encoder/EncoderSession.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// One opened libavcodec encoder for one raster: h264_vaapi or hevc_vaapi on a
// render node, or libx264 on the CPU. Takes NV12 buffers without copying them
// (the hardware path uploads them to a surface). Used from one thread at a
// time. As the software encoder: a quarter-second buffer and keyframes at
// least every so many seconds of time. Unlike it: the codec's rate control
// prices frames at the configured frame rate, not their real intervals, and
// nothing tells it which macroblocks did not change, so a still picture is
// never refined (no unit is refinable).
class EncoderLibavcodec : public EncoderSession {
public:
    enum class Backend : std::uint8_t { libx264, vaapi };


    // Allocates the codec, makes the settings (recorded in properties(), in
    // order) and opens it. renderNode is for vaapi only. maxFrameDelay is how
    // many frames the codec may hold before handing their packets back: by
    // default none for libx264, one for VA-API.
    static std::expected<std::unique_ptr<EncoderLibavcodec>, EncoderError> open(
        const EncoderConfig& config, Backend backend, const std::string& renderNode = {},
        std::optional<int> maxFrameDelay = std::nullopt);
    // The render nodes of this machine, in name order.
    static std::vector<std::string> renderNodes();
    // libavcodec's text for one of its statuses.
    static std::string statusText(std::int32_t status);

    ~EncoderLibavcodec() override;
    EncoderLibavcodec(const EncoderLibavcodec&) = delete;
    EncoderLibavcodec& operator=(const EncoderLibavcodec&) = delete;

    Backend backend() const;
    const std::vector<EncoderPropertyStatus>& properties() const override;
    bool changesBitrateLive() const override;
    // libavcodec passes no macroblock hints on.
    bool skipsConstantMacroblocks() const override { return false; }
    std::int32_t encode(const PixelBuffer& frame, std::shared_ptr<void> keepAlive, std::int64_t pts,
                        bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks, Purpose purpose,
                        const PacketSink& sink) override;
    void setBitrate(std::int64_t bitsPerSecond) override;

    struct Codec;

private:
    explicit EncoderLibavcodec(std::unique_ptr<Codec> codec);

    std::unique_ptr<Codec> codec_;
};

} // namespace quillmere
