#include "core/GuiUpdater.h"

#include <gtest/gtest.h>

TEST(GuiUpdater, ThumbnailOfAnyPreviewDithersToAsMuchBlackAsWhite) {
    QImage grey(90, 72, QImage::Format_RGB888);
    grey.fill(QColor(128, 128, 128));
    EXPECT_EQ(makeThumbnail(grey.scaled(720, 288)).size(), QSize(113, 64));
    const QImage dithered = ditherToBlackAndWhite(makeThumbnail(grey));
    int black = 0;
    for (int i = 0; i < 113 * 64; ++i) {
        const int red = dithered.pixelColor(i % 113, i / 113).red();
        ASSERT_TRUE(red == 0 || red == 255);
        black += red == 0;
    }
    EXPECT_NEAR(black / (113.0 * 64), 0.5, 0.1);
}
