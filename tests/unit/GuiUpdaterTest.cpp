#include "core/GuiUpdater.h"

#include <gtest/gtest.h>

TEST(GuiUpdater, ThumbnailOfAnyPreviewDithersToAsMuchBlackAsWhite) {
    QImage grey(720, 288, QImage::Format_RGB888);
    grey.fill(QColor(128, 128, 128));
    const QImage dithered = ditherToBlackAndWhite(makeThumbnail(grey));
    ASSERT_EQ(dithered.size(), QSize(113, 64));
    int black = 0;
    for (int i = 0; i < 113 * 64; ++i) {
        const int red = dithered.pixelColor(i % 113, i / 113).red();
        ASSERT_TRUE(red == 0 || red == 255);
        black += red == 0;
    }
    EXPECT_NEAR(black / (113.0 * 64), 0.5, 0.1);
}
