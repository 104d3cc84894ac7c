#pragma once

#include "QuillmereViewer/FrameDecoder.h"

#include <expected>
#include <memory>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace quillmere {

// libavcodec's H.264 decoder set for streaming: one thread, low delay (each
// access unit gives its picture at once), and no error concealment, so that
// damage is reported instead of painted over.
class H264Decoder final : public FrameDecoder {
public:
    static std::expected<std::unique_ptr<H264Decoder>, std::string> make();
    ~H264Decoder() override;
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    void configure(const StreamConfig& config) override;
    DecodeResult decode(const AssembledFrame& frame) override;

    // An access unit as the decoder gets it: on keyframes the parameter sets
    // in front, each behind a start code.
    static Bytes accessUnit(const std::vector<Bytes>& parameterSets, const AssembledFrame& frame);

private:
    H264Decoder() = default;

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<Bytes> parameterSets_;
};

} // namespace quillmere
