#include "core/GuiUpdater.h"

#include <gtest/gtest.h>

namespace {

QImage filled(int width, int height, uint8_t value) {
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(value, value, value));
    return image;
}

}  // namespace

TEST(GuiUpdater, ThumbnailIs113By64WhateverThePreview) {
    for (QSize size : {QSize(720, 288), QSize(90, 72), QSize(240, 135), QSize(90, 60)}) {
        EXPECT_EQ(makeThumbnail(filled(size.width(), size.height(), 50)).size(), QSize(113, 64));
    }
}

TEST(GuiUpdater, StretchDoublesTheDistanceFromTheAverage) {
    QImage grey = makeThumbnail(filled(90, 72, 128));
    ASSERT_EQ(brightnessAverage(grey), 128);
    contrastStretch(grey, 128);
    EXPECT_EQ(grey.pixelColor(50, 30).red(), 128);

    QImage image = filled(16, 16, 100);  // 48 bytes a line: whole blocks only
    image.scanLine(3)[0] = 200;
    image.scanLine(5)[0] = 40;
    contrastStretch(image, 100);
    EXPECT_EQ(image.scanLine(3)[0], 255);
    EXPECT_EQ(image.scanLine(5)[0], 0);
    EXPECT_EQ(image.scanLine(0)[0], 100);

    // A trailing part shorter than a block stays as it is.
    QImage odd = filled(3, 2, 200);  // 12 bytes a line, 24 in all: one block and 8 bytes
    contrastStretch(odd, 100);
    EXPECT_EQ(odd.constBits()[15], 255);
    EXPECT_EQ(odd.constBits()[16], 200);
}

TEST(GuiUpdater, AverageOfEvery64thByteAndNoneForAnEmptyImage) {
    QImage image = filled(64, 2, 10);  // 192 bytes a line: bytes 0, 64, 128, ... sampled
    image.scanLine(0)[0] = 250;
    EXPECT_EQ(brightnessAverage(image), (250 + 5 * 10) / 6);
    EXPECT_EQ(brightnessAverage(QImage()), -1);
}

TEST(GuiUpdater, DitheringLeavesOnlyBlackAndWhite) {
    const QImage dithered = ditherToBlackAndWhite(makeThumbnail(filled(90, 72, 128)));
    ASSERT_EQ(dithered.format(), QImage::Format_RGB888);
    int black = 0, white = 0;
    for (int y = 0; y < dithered.height(); ++y) {
        for (int x = 0; x < dithered.width(); ++x) {
            const int red = dithered.pixelColor(x, y).red();
            ASSERT_TRUE(red == 0 || red == 255);
            (red == 0 ? black : white)++;
        }
    }
    // Mid grey dithers to about as many black pixels as white.
    EXPECT_NEAR(double(black) / (black + white), 0.5, 0.1);
}
