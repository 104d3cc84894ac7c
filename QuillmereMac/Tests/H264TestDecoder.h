#pragma once

// libavcodec's own H.264 decoder, to check what the encoder produced, and a
// reader for the test pattern's code strip.

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere::testing {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> luma; // width x height, packed
    // 4:2:0 chroma, (width + 1) / 2 a row, packed; empty for other streams.
    std::vector<std::uint8_t> cb, cr;
    bool keyframe = false;

    std::uint8_t at(int x, int y) const { return luma[static_cast<std::size_t>(y) * width + x]; }
    std::uint8_t cbAt(int x, int y) const { return cb[static_cast<std::size_t>(y / 2) * ((width + 1) / 2) + x / 2]; }
    std::uint8_t crAt(int x, int y) const { return cr[static_cast<std::size_t>(y / 2) * ((width + 1) / 2) + x / 2]; }
};

class H264TestDecoder {
public:
    H264TestDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(context_, codec, nullptr);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
    }
    ~H264TestDecoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    H264TestDecoder(const H264TestDecoder&) = delete;
    H264TestDecoder& operator=(const H264TestDecoder&) = delete;

    // One access unit in Annex B; the pictures it completes.
    std::vector<DecodedPicture> decode(const Bytes& accessUnit) {
        std::vector<DecodedPicture> pictures;
        Bytes copy(accessUnit);
        copy.resize(copy.size() + AV_INPUT_BUFFER_PADDING_SIZE);
        packet_->data = copy.data();
        packet_->size = static_cast<int>(accessUnit.size());
        if (avcodec_send_packet(context_, packet_) < 0) {
            ++errors;
            return pictures;
        }
        while (avcodec_receive_frame(context_, frame_) == 0) {
            DecodedPicture picture;
            picture.width = frame_->width;
            picture.height = frame_->height;
            picture.keyframe = frame_->key_frame != 0;
            picture.luma.resize(static_cast<std::size_t>(frame_->width) * frame_->height);
            for (int y = 0; y < frame_->height; ++y) {
                std::copy_n(frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0], frame_->width,
                            picture.luma.data() + static_cast<std::size_t>(y) * frame_->width);
            }
            for (int i = 1; i <= 2 && frame_->format == AV_PIX_FMT_YUV420P; ++i) {
                std::vector<std::uint8_t>& plane = i == 1 ? picture.cb : picture.cr;
                for (int y = 0; y < (frame_->height + 1) / 2; ++y) {
                    const std::uint8_t* row = frame_->data[i] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[i];
                    plane.insert(plane.end(), row, row + (frame_->width + 1) / 2);
                }
            }
            pictures.push_back(std::move(picture));
            av_frame_unref(frame_);
        }
        return pictures;
    }

    int errors = 0;

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

// Parameter sets and frame data as a client puts them together for its
// decoder: the sets of a keyframe go in front of it.
inline Bytes withParameterSets(const std::vector<Bytes>& parameterSets, const Bytes& data) {
    Bytes stream;
    for (const Bytes& set : parameterSets) {
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), set.begin(), set.end());
    }
    stream.insert(stream.end(), data.begin(), data.end());
    return stream;
}

// The frame number the test pattern's code strip shows: the middle row of the
// strip, sampled at each cell's centre.
inline std::uint32_t readStrip(const DecodedPicture& picture) {
    const int cell = picture.width < 96 ? 2 : picture.width / 32;
    const int row = picture.height - (cell + 1) / 2;
    std::uint32_t number = 0;
    for (int bit = 0; bit < 32 && bit * cell < picture.width; ++bit) {
        const int x = std::min(bit * cell + cell / 2, picture.width - 1);
        if (picture.at(x, row) > 125) number |= 1u << bit;
    }
    return number;
}

// NAL unit types of an Annex B stream, in order.
inline std::vector<int> nalTypes(const Bytes& stream) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            types.push_back(stream[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

} // namespace quillmere::testing
