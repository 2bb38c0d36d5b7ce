// The recorder's raw UYVY pictures become JPEGs at the browser's size and in JPEG's full range.
// That a new picture replaces the old one is seen in the browser test.
#include "PreviewJpeg.h"

#include "encode/FFmpegOwners.h"

#include <gtest/gtest.h>

#include "../support/TestFiles.h"

#include <array>

namespace {

// The decoded size, and the luma an eighth in from the left and from the right edge half way down.
std::array<int, 4> decodeJpeg(const std::string& jpeg) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    av::CodecContext context(avcodec_alloc_context3(codec));
    av::Frame frame(av_frame_alloc());
    av::Packet packet(av_packet_alloc());
    if (!context || !frame || !packet || avcodec_open2(context.get(), codec, nullptr) < 0) return {};
    if (av_new_packet(packet.get(), int(jpeg.size())) < 0) return {};
    std::copy(jpeg.begin(), jpeg.end(), packet->data);
    if (avcodec_send_packet(context.get(), packet.get()) < 0 || avcodec_receive_frame(context.get(), frame.get()) < 0)
        return {};
    const uint8_t* middle = frame->data[0] + frame->height / 2 * frame->linesize[0];
    return {frame->width, frame->height, middle[frame->width / 8], middle[frame->width * 7 / 8]};
}

}  // namespace

TEST(PreviewJpeg, HdAndSdPicturesBecomeBrowserSizedJpegsInFullRange) {
    for (const auto& [width, height, outWidth, outHeight] : {std::array{1920, 1080, 640, 360}, {720, 576, 640, 480}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        std::string uyvy;  // video-range black in the left half, white in the right
        for (int i = 0; i < width * height / 2; ++i) {
            const char luma = i % (width / 2) < width / 4 ? 16 : char(235);
            uyvy += {char(128), luma, char(128), luma};
        }
        testing_support::TempDir dir;
        testing_support::writeFile(dir / "preview.uyvy", uyvy);
        const std::optional<std::string> jpeg = PreviewJpeg(dir / "preview.uyvy").jpeg();
        ASSERT_TRUE(jpeg.has_value());
        const auto [decodedWidth, decodedHeight, left, right] = decodeJpeg(*jpeg);
        EXPECT_EQ(decodedWidth, outWidth);
        EXPECT_EQ(decodedHeight, outHeight);
        // Video black and white stretched to 0 and 255, on the correct sides.
        EXPECT_LE(left, 8);
        EXPECT_GE(right, 247);
    }
}
