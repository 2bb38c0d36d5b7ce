// Made-up font strips whose every pixel names its cell, font and position, so a misplaced byte shows up.
// What is drawn where is judged on the panel's screens; here that text running off an image (a long
// drive label) lands nowhere outside it.
#include <gtest/gtest.h>

#include "TestFiles.h"
#include "panel/QVAPainter.h"

#include <vector>

namespace {

enum { kLarge = 10, kInverted = 20, kSmall = 30 };  // green of each font

QRgb glyphPixel(int cell, int tag, int c, int r) { return qRgb(cell, tag, c * 16 + r); }

std::string strip(const testing_support::TempDir& dir, const std::string& name, int w, int h, int tag) {
    QImage img(w * 95, h, QImage::Format_RGB888);
    for (int x = 0; x < img.width(); ++x)
        for (int y = 0; y < h; ++y) img.setPixel(x, y, glyphPixel(x / w, tag, x % w, y));
    img.save(QString::fromStdString(dir / name));
    return dir / name;
}

class QVAPainterTest : public ::testing::Test {
protected:
    testing_support::TempDir dir;
    QVAPainter painter{{strip(dir, "a2.png", 8, 9, kInverted), strip(dir, "a3.png", 8, 9, kLarge),
                        strip(dir, "small.png", 6, 7, kSmall)}};
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
    painter.DrawText("AB", &tight, 15, 6, true, false);  // the small font, inverted
    painter.DrawError(&tight, -3, 4);
    painter.DrawError(&tight, 17, -3);
    for (size_t i = 0; i < memory.size(); ++i)
        ASSERT_TRUE((i % 64 < 60 && i < 640) || memory[i] == 0xAA) << i;
}
