// Made-up font strips whose every pixel names its cell, font and position, so a misplaced byte shows up.
// What is drawn where is judged on the panel's screens; here that nothing lands outside an image.
#include <gtest/gtest.h>

#include "TestFiles.h"
#include "panel/QVAPainter.h"

#include <climits>
#include <vector>

namespace {

constexpr QRgb kGrey = 0xFF555555, kWhite = 0xFFFFFFFF;
enum { kLarge = 10, kInverted = 20, kSmall = 30 };  // green of each font

QRgb glyphPixel(int cell, int tag, int c, int r) { return qRgb(cell, tag, c * 16 + r); }

std::string strip(const testing_support::TempDir& dir, const std::string& name, int w, int h, int tag) {
    QImage img(w * 95, h, QImage::Format_RGB888);
    for (int x = 0; x < img.width(); ++x)
        for (int y = 0; y < h; ++y) img.setPixel(x, y, glyphPixel(x / w, tag, x % w, y));
    img.save(QString::fromStdString(dir / name));
    return dir / name;
}

int painted(const QImage& img, QRgb background = kGrey) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += img.pixel(x, y) != background;
    return n;
}

class QVAPainterTest : public ::testing::Test {
protected:
    QVAPainterTest() { screen.fill(kGrey); }
    testing_support::TempDir dir;
    QVAPainter painter{{strip(dir, "a2.png", 8, 9, kInverted), strip(dir, "a3.png", 8, 9, kLarge),
                        strip(dir, "small.png", 6, 7, kSmall)}};
    QImage screen{256, 64, QImage::Format_RGB888};
};

}  // namespace

TEST_F(QVAPainterTest, NothingIsDrawnOutsideTheImage) {
    // 20x10 pixels over a 64-byte stride: 4 padding bytes per row, one guard row after.
    std::vector<uchar> memory(64 * 11, 0xAA);
    QImage tight{memory.data(), 20, 10, 64, QImage::Format_RGB888};
    painter.DrawText("AB", &tight, 14, 5, false, true);
    painter.DrawText("A", &tight, -3, -4, false, true);
    EXPECT_EQ(tight.pixel(19, 9), glyphPixel(33, kLarge, 5, 4));
    EXPECT_EQ(tight.pixel(0, 0), glyphPixel(33, kLarge, 3, 4));
    painter.DrawError(&tight, -3, 4);
    painter.DrawError(&tight, 17, -3);
    for (size_t i = 0; i < memory.size(); ++i)
        ASSERT_TRUE((i % 64 < 60 && i < 640) || memory[i] == 0xAA) << i;

    const int refused[][4] = {{0, 0, 5, 0},   {0, 0, 0, 5},  {-1, 0, 5, 5},      {0, -1, 5, 5},
                              {250, 0, 7, 5}, {0, 60, 5, 5}, {1, 0, INT_MAX, 1}, {0, 0, -5, 5}};
    for (auto& b : refused) painter.DrawBox(&screen, b[0], b[1], b[2], b[3], 0);
    QImage preview(113, 64, QImage::Format_RGB888);
    for (int i = 0; i < 113 * 64; ++i) preview.setPixel(i % 113, i / 113, qRgb(i % 113, i / 113, 7));
    const QImage rgb32 = preview.convertToFormat(QImage::Format_RGB32);
    painter.CopyQImage(&screen, &rgb32, 0, 0);
    painter.CopyQImage(&screen, &preview, 144, 0);
    EXPECT_EQ(painted(screen), 0);
    painter.DrawBox(&screen, 250, 60, 6, 4, -1);
    EXPECT_EQ(painted(screen), 24);
    EXPECT_EQ(screen.pixel(255, 63), kWhite);
    painter.CopyQImage(&screen, &preview, 139, 0);
    EXPECT_EQ(screen.copy(139, 0, 113, 64), preview);
}
