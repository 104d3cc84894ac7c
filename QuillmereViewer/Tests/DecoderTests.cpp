// The viewer's decoding end: libavcodec's decoder on real libx264 output,
// damage reported rather than hidden, the test pattern's numbers read back
// from decoded pictures, and snapshots that decode as the picture they show.

#include "QuillmereViewer/H264Decoder.h"
#include "QuillmereViewer/SnapshotQueue.h"
#include "QuillmereViewer/SnapshotWriter.h"
#include "QuillmereViewer/TestPatternCheck.h"
#include "QuillmereViewer/Tests/TestStream.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace quillmere {
namespace {

using testing::TestStreamEncoder;
using testing::assembledFrame;
using testing::TemporaryFolder;
using testing::eventually;

std::unique_ptr<H264Decoder> decoder() {
    auto made = H264Decoder::make();
    EXPECT_TRUE(made) << (made ? "" : made.error());
    return made ? std::move(*made) : nullptr;
}

// The test pattern showing `number`, as a fresh decoder gives it back.
DecodedPicture decodedPattern(int width, int height, std::uint32_t number) {
    TestStreamEncoder encoder(width, height);
    auto decode = decoder();
    const auto frame = encoder.encode(number, true);
    decode->configure(encoder.config(1));
    return decode->decode(assembledFrame(frame, 1)).pictures.at(0);
}

TEST(H264Decoder, EveryFrameDecodesAtOnceAndShowsItsNumber) {
    TestStreamEncoder encoder(320, 180);
    auto decode = decoder();
    TestPatternCheck check;
    for (std::uint32_t number = 1; number <= 12; ++number) {
        const auto frame = encoder.encode(number, number == 7);
        if (number == 1) decode->configure(encoder.config(1));
        const DecodeResult result = decode->decode(assembledFrame(frame, number));
        ASSERT_FALSE(result.error) << *result.error;
        ASSERT_EQ(result.pictures.size(), 1u) << "low delay: one picture per access unit, at once";
        EXPECT_EQ(result.pictures[0].width(), 320);
        EXPECT_EQ(result.pictures[0].height(), 180);
        EXPECT_EQ(TestPatternCheck::read(result.pictures[0]), number);
        EXPECT_TRUE(check.check(result.pictures[0]));
    }
    EXPECT_EQ(check.mismatches(), 0);
}

TEST(H264Decoder, ParameterSetsGoOnlyInFrontOfKeyframes) {
    AssembledFrame frame;
    frame.data = {0, 0, 0, 1, 0x65, 0xAA};
    const std::vector<Bytes> sets = {{0x67, 1}, {0x68, 2}};
    EXPECT_EQ(H264Decoder::accessUnit(sets, frame), frame.data);
    frame.flags = MediaHeader::Flags::keyframe;
    EXPECT_EQ(H264Decoder::accessUnit(sets, frame),
              (Bytes{0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65, 0xAA}));
}

TEST(H264Decoder, AKeyframeWithoutItsParameterSetsIsAnError) {
    TestStreamEncoder encoder(160, 96);
    auto decode = decoder();
    const auto frame = encoder.encode(1, true);
    const DecodeResult result = decode->decode(assembledFrame(frame, 1));
    EXPECT_TRUE(result.error);
    EXPECT_TRUE(result.pictures.empty());
}

TEST(H264Decoder, DamageInsideAFrameIsReportedNotConcealed) {
    TestStreamEncoder encoder(320, 180);
    auto decode = decoder();
    const auto first = encoder.encode(1, true);
    decode->configure(encoder.config(1));
    ASSERT_FALSE(decode->decode(assembledFrame(first, 1)).error);
    auto second = encoder.encode(2);
    // Cut the slice short: the picture cannot be complete.
    second.data.resize(std::max<std::size_t>(8, second.data.size() / 3));
    const DecodeResult damaged = decode->decode(assembledFrame(second, 2));
    EXPECT_TRUE(damaged.error);
    // A later keyframe starts clean again.
    const auto third = encoder.encode(3, true);
    decode->configure(encoder.config(2));
    const DecodeResult recovered = decode->decode(assembledFrame(third, 3));
    ASSERT_FALSE(recovered.error) << *recovered.error;
    ASSERT_EQ(recovered.pictures.size(), 1u);
    EXPECT_EQ(TestPatternCheck::read(recovered.pictures[0]), 3u);
}

TEST(H264Decoder, GarbageIsAnErrorAndDoesNotStopTheDecoder) {
    TestStreamEncoder encoder(160, 96);
    auto decode = decoder();
    AssembledFrame garbage;
    garbage.frameID = 9;
    garbage.data = {0, 0, 0, 1, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x13};
    EXPECT_TRUE(decode->decode(garbage).error);
    const auto frame = encoder.encode(5, true);
    decode->configure(encoder.config(1));
    const DecodeResult result = decode->decode(assembledFrame(frame, 1));
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(TestPatternCheck::read(result.pictures.at(0)), 5u);
}

TEST(TestPatternCheck, NumbersMustRiseAndSkipsAreCounted) {
    TestPatternCheck check;
    EXPECT_TRUE(check.check(4));
    EXPECT_TRUE(check.check(5));
    EXPECT_TRUE(check.check(9));
    EXPECT_FALSE(check.check(9));
    EXPECT_FALSE(check.check(3));
    EXPECT_TRUE(check.check(10));
    EXPECT_EQ(check.checked(), 6);
    EXPECT_EQ(check.mismatches(), 2);
    EXPECT_EQ(check.skipped(), 3);
    EXPECT_EQ(check.first(), 4u);
    EXPECT_EQ(check.last(), 10u);
    EXPECT_EQ(check.firstMismatch(), "frame 9 after 9");
}

TEST(TestPatternCheck, WrapsAroundAndStartsOverWithANewSession) {
    TestPatternCheck check;
    EXPECT_TRUE(check.check(0xFFFFFFFF));
    EXPECT_TRUE(check.check(0));
    check.restart();
    EXPECT_TRUE(check.check(1)) << "a new session numbers its pattern from the start";
    EXPECT_EQ(check.mismatches(), 0);
}

// A PNG file decoded back: its size, pixel format and the RGB of each pixel.
struct DecodedPNG {
    int width = 0;
    int height = 0;
    int format = AV_PIX_FMT_NONE;
    int stride = 0;
    Bytes pixels;
    const std::uint8_t* at(int x, int y) const { return pixels.data() + y * stride + x * 3; }
};

DecodedPNG decodedPNG(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    Bytes png((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DecodedPNG decoded;
    if (png.size() < 8 || Bytes(png.begin(), png.begin() + 8) != Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})
        return decoded;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* image = av_frame_alloc();
    png.resize(png.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    packet->data = png.data();
    packet->size = static_cast<int>(png.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    if (avcodec_open2(context, codec, nullptr) == 0 && avcodec_send_packet(context, packet) == 0 &&
        avcodec_receive_frame(context, image) == 0) {
        decoded = {image->width, image->height, image->format, image->linesize[0],
                   Bytes(image->data[0], image->data[0] + image->linesize[0] * image->height)};
    }
    av_frame_free(&image);
    packet->data = nullptr;
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return decoded;
}

TEST(SnapshotWriter, APictureBecomesAPNGThatDecodesToIt) {
    const DecodedPicture picture = decodedPattern(320, 180, 0b101);
    TemporaryFolder folder;
    auto writer = SnapshotWriter::open(folder.path() / "shots");
    ASSERT_TRUE(writer) << writer.error();
    auto written = writer->write(picture, 5);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, folder.path() / "shots" / "frame-5.png");

    const DecodedPNG image = decodedPNG(*written);
    EXPECT_EQ(image.width, 320);
    EXPECT_EQ(image.height, 180);
    ASSERT_EQ(image.format, AV_PIX_FMT_RGB24);
    // Cell 0 of the strip is white (bit 0 of 5), cell 1 black, the field dark grey.
    EXPECT_GT(*image.at(5, 178), 200);
    EXPECT_LT(*image.at(15, 178), 40);
    EXPECT_NEAR(*image.at(160, 50), 55, 15);
}

// The host sends BT.709 video range: read as BT.601, pure red comes out 232, 0, 1.
TEST(SnapshotWriter, ColoursComeOutThroughThePicturesOwnMatrix) {
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 16;
    frame->height = 16;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
    const std::uint8_t red[] = {63, 102, 240}; // Y, Cb, Cr
    for (int plane = 0; plane < 3; ++plane) {
        const int side = plane == 0 ? 16 : 8;
        for (int y = 0; y < side; ++y) std::memset(frame->data[plane] + y * frame->linesize[plane], red[plane], side);
    }
    const DecodedPicture picture = DecodedPicture::referencing(frame);
    av_frame_free(&frame);
    TemporaryFolder folder;
    auto writer = SnapshotWriter::open(folder.path());
    ASSERT_TRUE(writer) << writer.error();
    auto written = writer->write(picture, 1);
    ASSERT_TRUE(written) << written.error();
    const DecodedPNG image = decodedPNG(*written);
    ASSERT_EQ(image.format, AV_PIX_FMT_RGB24);
    EXPECT_NEAR(image.at(8, 8)[0], 255, 3);
    EXPECT_NEAR(image.at(8, 8)[1], 0, 3);
    EXPECT_NEAR(image.at(8, 8)[2], 0, 3);
}

TEST(SnapshotWriter, AFolderThatCannotBeMadeIsRefused) {
    TemporaryFolder folder;
    std::ofstream(folder.path() / "file") << "x";
    auto writer = SnapshotWriter::open(folder.path() / "file" / "shots");
    ASSERT_FALSE(writer);
    EXPECT_NE(writer.error().find("could not be made"), std::string::npos) << writer.error();
}

TEST(SnapshotQueue, WritesEveryPictureOffTheCallersThreadAndReportsTheFirstFailure) {
    const DecodedPicture picture = decodedPattern(320, 180, 1);
    TemporaryFolder folder;

    auto writer = SnapshotWriter::open(folder.path() / "shots");
    ASSERT_TRUE(writer) << writer.error();
    Interruption interruption;
    SnapshotQueue queue(*writer, interruption);
    for (std::uint32_t number = 1; number <= SnapshotQueue::capacity; ++number) queue.post(picture, number);
    ASSERT_EQ(queue.drain(), SnapshotQueue::capacity);
    for (std::uint32_t number = 1; number <= SnapshotQueue::capacity; ++number)
        EXPECT_TRUE(std::filesystem::exists(folder.path() / "shots" / fmt::format("frame-{}.png", number)));

    std::filesystem::remove_all(folder.path() / "shots");
    queue.post(picture, 4);
    const auto drained = queue.drain();
    ASSERT_FALSE(drained);
    EXPECT_EQ(queue.failure(), drained.error());
    queue.post(picture, 5);
    EXPECT_EQ(queue.drain(), drained) << "nothing is written after a failure";
    EXPECT_EQ(queue.skipped(), 1);
}

// A writer slower than the frames: a few pictures wait, the rest are skipped
// and counted, and once interrupted none of those waiting is written.
TEST(SnapshotQueue, KeepsFewWaitingSkipsTheRestAndStopsWhenInterrupted) {
    const DecodedPicture large = decodedPattern(1920, 1080, 1);
    const std::uint32_t held = SnapshotQueue::capacity + 1;
    struct Case {
        std::uint32_t posted;
        bool interrupted;
        std::uint32_t written;
    };
    for (const Case& c : {Case{held, false, held}, Case{held + 5, false, held}, Case{held + 5, true, 1}}) {
        SCOPED_TRACE(fmt::format("{} posted, interrupted: {}", c.posted, c.interrupted));
        TemporaryFolder folder;
        Interruption interruption;
        SnapshotQueue queue(SnapshotWriter::open(folder.path()).value(), interruption);
        // Picture 1's file is a pipe a page long, unread for now: the PNG is
        // longer, so its writer stalls with the picture in hand.
        const auto pipe = folder.path() / ".frame-1.png.partial";
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        const int stalled = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        ::fcntl(stalled, F_SETPIPE_SZ, 4096);
        queue.post(large, 1);
        char bytes[4096];
        EXPECT_TRUE(eventually([&] { return ::read(stalled, bytes, 1) == 1; }));
        for (std::uint32_t number = 2; number <= c.posted; ++number) queue.post(large, number);
        if (c.interrupted) interruption.raise();
        ::fcntl(stalled, F_SETFL, 0);
        while (::read(stalled, bytes, sizeof bytes) > 0) {
        }
        ::close(stalled);
        EXPECT_EQ(queue.drain(), c.written);
        EXPECT_EQ(queue.skipped(), c.posted - c.written);
        for (std::uint32_t number = 1; number <= c.posted; ++number)
            EXPECT_EQ(std::filesystem::exists(folder.path() / fmt::format("frame-{}.png", number)), number <= c.written);
    }
}

} // namespace
} // namespace quillmere
