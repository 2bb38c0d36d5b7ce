// The preview: raw UYVY pictures of each size the recorder writes become
// JPEGs FFmpeg decodes, at the browser's size and in the full range JPEG uses.
#include "PreviewJpeg.h"

#include "encode/FFmpegOwners.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> luma;  // width x height
    int y(int x, int row) const { return luma[size_t(row) * size_t(width) + size_t(x)]; }
};

Decoded decodeJpeg(const std::string& jpeg) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    av::CodecContext context(avcodec_alloc_context3(codec));
    av::Frame frame(av_frame_alloc());
    av::Packet packet(av_packet_alloc());
    Decoded out;
    if (!context || !frame || !packet || avcodec_open2(context.get(), codec, nullptr) < 0) return out;
    if (av_new_packet(packet.get(), int(jpeg.size())) < 0) return out;
    std::copy(jpeg.begin(), jpeg.end(), packet->data);
    if (avcodec_send_packet(context.get(), packet.get()) < 0) return out;
    if (avcodec_receive_frame(context.get(), frame.get()) < 0) return out;
    out.width = frame->width;
    out.height = frame->height;
    for (int row = 0; row < frame->height; ++row) {
        const uint8_t* line = frame->data[0] + row * frame->linesize[0];
        out.luma.insert(out.luma.end(), line, line + frame->width);
    }
    return out;
}

// Video-range black in the left half, white in the right.
void writeUyvy(const std::string& path, int width, int height) {
    std::string bytes;
    bytes.reserve(size_t(width) * size_t(height) * 2);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; x += 2) {
            const char luma = x < width / 2 ? 16 : char(235);
            bytes += {char(128), luma, char(128), luma};
        }
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

class PreviewJpegTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("preview-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "preview.uyvy").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(PreviewJpegTest, EachRecordedSizeBecomesABrowserSizedJpegInFullRange) {
    struct Case {
        int width, height, outWidth, outHeight;
    };
    for (const Case& c : {Case{1920, 1080, 640, 360}, Case{1280, 720, 640, 360},
                          Case{720, 576, 640, 480}, Case{720, 480, 640, 480}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        writeUyvy(path_, c.width, c.height);
        PreviewJpeg preview(path_);
        const std::optional<std::string> jpeg = preview.jpeg();
        ASSERT_TRUE(jpeg.has_value());
        const Decoded picture = decodeJpeg(*jpeg);
        ASSERT_EQ(picture.width, c.outWidth);
        ASSERT_EQ(picture.height, c.outHeight);
        // Video black and white stretched to 0 and 255, on the correct sides.
        EXPECT_LE(picture.y(c.outWidth / 8, c.outHeight / 2), 8);
        EXPECT_GE(picture.y(c.outWidth * 7 / 8, c.outHeight / 2), 247);
    }
}

TEST_F(PreviewJpegTest, NothingWithoutAPictureOfARecordedSize) {
    PreviewJpeg missing(path_);
    EXPECT_FALSE(missing.jpeg().has_value());

    std::ofstream(path_, std::ios::binary) << std::string(720 * 486 * 2, '\x80');
    PreviewJpeg wrongSize(path_);
    EXPECT_FALSE(wrongSize.jpeg().has_value());

    std::filesystem::resize_file(path_, 0);  // a pass reopening the file
    PreviewJpeg empty(path_);
    EXPECT_FALSE(empty.jpeg().has_value());
}

TEST_F(PreviewJpegTest, ConvertedAtMostOnceASecondWhoeverAsks) {
    writeUyvy(path_, 1280, 720);
    PreviewJpeg preview(path_);
    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::string> first = preview.jpeg();
    ASSERT_TRUE(first.has_value());

    // Another picture of another size: not looked at within the second.
    writeUyvy(path_, 720, 576);
    std::vector<std::optional<std::string>> seen(4);
    std::vector<std::thread> askers;
    for (auto& result : seen) askers.emplace_back([&preview, &result] { result = preview.jpeg(); });
    for (auto& asker : askers) asker.join();
    if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(900)) {
        GTEST_SKIP() << "the machine was too slow to ask twice within a second";
    }
    for (const auto& result : seen) EXPECT_EQ(result, first);
}

TEST_F(PreviewJpegTest, ANewPictureIsTakenAfterTheSecond) {
    writeUyvy(path_, 1280, 720);
    PreviewJpeg preview(path_);
    ASSERT_EQ(decodeJpeg(preview.jpeg().value()).height, 360);
    writeUyvy(path_, 720, 576);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    ASSERT_EQ(decodeJpeg(preview.jpeg().value()).height, 480);
}

}  // namespace
