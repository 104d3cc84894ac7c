#pragma once

// Real H.264 for the viewer's tests: frames of the host's test pattern (a
// dark field and the frame number as a strip of cells along the bottom),
// encoded by libx264 through libavcodec as the host encodes them, with the
// parameter sets taken out of the keyframes as the host announces them.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/EncodedFrame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace quillmere::testing {

struct EncodedTestFrame {
    std::uint32_t number = 0;
    bool keyframe = false;
    // Annex B without the parameter sets.
    Bytes data;
};

class TestStreamEncoder {
public:
    TestStreamEncoder(int width, int height) : width_(width), height_(height) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) throw std::runtime_error("no libx264");
        context_ = avcodec_alloc_context3(codec);
        context_->width = width;
        context_->height = height;
        context_->pix_fmt = AV_PIX_FMT_YUV420P;
        context_->time_base = AVRational{1, 60};
        context_->framerate = AVRational{60, 1};
        context_->gop_size = 600;
        context_->max_b_frames = 0;
        context_->thread_count = 1;
        context_->bit_rate = 2'000'000;
        av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context_->priv_data, "forced-idr", "1", 0);
        if (avcodec_open2(context_, codec, nullptr) < 0) throw std::runtime_error("libx264 did not open");
        frame_ = av_frame_alloc();
        frame_->format = AV_PIX_FMT_YUV420P;
        frame_->width = width;
        frame_->height = height;
        av_frame_get_buffer(frame_, 0);
        packet_ = av_packet_alloc();
    }
    ~TestStreamEncoder() {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&context_);
    }
    TestStreamEncoder(const TestStreamEncoder&) = delete;
    TestStreamEncoder& operator=(const TestStreamEncoder&) = delete;

    // Frame number n of the pattern; a keyframe when asked (the first always is).
    EncodedTestFrame encode(std::uint32_t number, bool keyframe = false) {
        av_frame_make_writable(frame_);
        draw(number);
        frame_->pts = pts_++;
        frame_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(context_, frame_) < 0 || avcodec_receive_packet(context_, packet_) < 0)
            throw std::runtime_error("libx264 gave no packet");
        EncodedTestFrame out;
        out.number = number;
        out.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        splitParameterSets(Bytes(packet_->data, packet_->data + packet_->size), out.data);
        av_packet_unref(packet_);
        return out;
    }

    // The parameter sets of the last keyframe, without start codes.
    const std::vector<Bytes>& parameterSets() const { return parameterSets_; }

    StreamConfig config(std::uint32_t generation, std::uint32_t epoch = 1) const {
        return StreamConfig{1, generation, epoch, VideoCodec::h264, static_cast<std::uint16_t>(width_),
                            static_cast<std::uint16_t>(height_), 60, 2000, parameterSets_};
    }

private:
    void draw(std::uint32_t number) {
        const int cell = width_ < 96 ? 2 : width_ / 32;
        const int stripTop = std::max(0, height_ - cell);
        for (int y = 0; y < height_; ++y) {
            std::uint8_t* row = frame_->data[0] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[0];
            if (y < stripTop) {
                std::memset(row, 64, static_cast<std::size_t>(width_));
                continue;
            }
            for (int x = 0; x < width_; ++x) {
                const int bit = x / cell;
                row[x] = bit < 32 && ((number >> bit) & 1u) != 0 ? 235 : 16;
            }
        }
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < height_ / 2; ++y) {
                std::memset(frame_->data[plane] + static_cast<std::ptrdiff_t>(y) * frame_->linesize[plane], 128,
                            static_cast<std::size_t>(width_ / 2));
            }
        }
    }

    // SPS and PPS out of the access unit, into parameterSets_.
    void splitParameterSets(const Bytes& unit, Bytes& rest) {
        std::vector<std::pair<std::size_t, std::size_t>> nals; // payload start, start-code start
        for (std::size_t i = 0; i + 3 <= unit.size(); ++i) {
            if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
                const std::size_t codeStart = i > 0 && unit[i - 1] == 0 ? i - 1 : i;
                nals.emplace_back(i + 3, codeStart);
                i += 2;
            }
        }
        std::vector<Bytes> sets;
        for (std::size_t n = 0; n < nals.size(); ++n) {
            const std::size_t begin = nals[n].first;
            const std::size_t end = n + 1 < nals.size() ? nals[n + 1].second : unit.size();
            const int type = unit[begin] & 0x1F;
            if (type == 7 || type == 8) {
                sets.emplace_back(unit.begin() + static_cast<std::ptrdiff_t>(begin),
                                  unit.begin() + static_cast<std::ptrdiff_t>(end));
            } else {
                rest.insert(rest.end(), {0, 0, 0, 1});
                rest.insert(rest.end(), unit.begin() + static_cast<std::ptrdiff_t>(begin),
                            unit.begin() + static_cast<std::ptrdiff_t>(end));
            }
        }
        if (!sets.empty()) parameterSets_ = std::move(sets);
    }

    int width_;
    int height_;
    std::int64_t pts_ = 0;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<Bytes> parameterSets_;
};

// As the host hands it to the sender.
inline EncodedFrame encodedFrame(const EncodedTestFrame& frame, std::uint32_t frameID, std::uint32_t epoch = 1,
                                 std::uint32_t generation = 1, std::uint64_t captureTimeNs = 0) {
    EncodedFrame out;
    out.surfaceID = 1;
    out.epoch = epoch;
    out.frameID = frameID;
    out.configGeneration = generation;
    out.flags = frame.keyframe ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    out.captureTimeNs = captureTimeNs;
    out.data = frame.data;
    return out;
}

// As the client's assembler gives it back.
inline AssembledFrame assembledFrame(const EncodedTestFrame& frame, std::uint32_t frameID) {
    AssembledFrame out;
    out.surfaceID = 1;
    out.epoch = 1;
    out.frameID = frameID;
    out.configGeneration = 1;
    out.flags = frame.keyframe ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    out.data = frame.data;
    return out;
}

} // namespace quillmere::testing
