#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereMac/Encoder/EncoderPropertyStatus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillmere {

// One opened encoder for one raster, whichever library runs it. Used from one
// thread at a time.
class EncoderSession {
public:
    struct Packet {
        ByteView data; // Annex B, valid during the sink call only
        bool keyframe = false;
        std::int64_t pts = 0;
        // The decoder's picture has macroblocks coarser than the encoder's
        // floor: encoding the same picture again as a refinement sharpens it.
        bool refinable = false;
    };
    using PacketSink = std::function<void(const Packet&)>;

    virtual ~EncoderSession() = default;

    // The settings made at creation, in order.
    virtual const std::vector<EncoderPropertyStatus>& properties() const = 0;
    // Whether setBitrate takes effect without reopening.
    virtual bool changesBitrateLive() const = 0;
    // Whether encode makes use of the constant macroblocks it is told of.
    virtual bool skipsConstantMacroblocks() const = 0;

    // What a frame is for: new content, or the picture last given once more,
    // to sharpen what the decoder holds of it.
    enum class Purpose : std::uint8_t { content, refinement };

    // Encodes one NV12 frame of the configured size; keepAlive is held until
    // the encoder lets go of the pixels. pts is in nanoseconds: the time
    // since the frame before is the frame's share of the rate.
    // constantMacroblocks is empty (all may have changed) or one byte per
    // 16x16 macroblock in raster order, non-zero where the pixels equal the
    // previous frame given. Packets that come out go to sink. Returns 0 or
    // the failure status for this frame.
    virtual std::int32_t encode(const PixelBuffer& frame, std::shared_ptr<void> keepAlive, std::int64_t pts,
                                bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks,
                                Purpose purpose, const PacketSink& sink) = 0;
    // From the next frame on.
    virtual void setBitrate(std::int64_t bitsPerSecond) = 0;
    // How often the encoder refused the rate or buffer it was given for a
    // frame since it was opened; it goes on at the last it took.
    virtual std::int64_t refusedSettings() const { return 0; }
};

} // namespace quillmere
