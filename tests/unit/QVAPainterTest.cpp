// Made-up font strips whose every pixel names its cell, font and position, so
// a misplaced or wrong-font byte shows up.
#include <gtest/gtest.h>

#include "TestFiles.h"
#include "panel/QVAPainter.h"

#include <climits>
#include <vector>

namespace {

constexpr QRgb kGrey = 0xFF555555, kWhite = 0xFFFFFFFF;
enum { kLarge = 10, kInverted = 20, kSmall = 30 };  // green of each font

QRgb glyphPixel(int cell, int tag, int c, int r, int inv = 0) {
    return qRgb(inv ^ cell, inv ^ tag, inv ^ (c * 16 + r));
}

std::string strip(const testing_support::TempDir& dir, const std::string& name, int w, int h,
                  int tag) {
    QImage img(w * 95, h, QImage::Format_RGB888);
    for (int x = 0; x < img.width(); ++x)
        for (int y = 0; y < h; ++y) img.setPixel(x, y, glyphPixel(x / w, tag, x % w, y));
    img.save(QString::fromStdString(dir / name));
    return dir / name;
}

bool glyphAt(const QImage& img, int x, int y, int cell, int tag, int inv = 0) {
    const int w = tag == kSmall ? 6 : 8, h = tag == kSmall ? 7 : 9;
    for (int i = 0; i < w * h; ++i)
        if (img.pixel(x + i % w, y + i / w) != glyphPixel(cell, tag, i % w, i / w, inv))
            return false;
    return true;
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
    // 20x10 pixels over a 64-byte stride: 4 padding bytes per row, one guard row after.
    std::vector<uchar> memory = std::vector<uchar>(64 * 11, 0xAA);
    QImage tight{memory.data(), 20, 10, 64, QImage::Format_RGB888};
    bool outsideUntouched() const {
        for (size_t i = 0; i < memory.size(); ++i)
            if ((i % 64 >= 60 || i >= 640) && memory[i] != 0xAA) return false;
        return true;
    }
};

TEST_F(QVAPainterTest, TextCopiesWholeCellsOfTheChosenFont) {
    painter.DrawText(" A", &screen, 3, 2, false, true);
    painter.DrawText("A!", &screen, 3, 20, true, true);
    painter.DrawText("A!", &screen, 3, 40, false, false);
    painter.DrawText("A!", &screen, 3, 50, true, false);
    painter.DrawText("", &screen, 100, 0, false, true);
    EXPECT_TRUE(glyphAt(screen, 3, 2, 0, kLarge) && glyphAt(screen, 11, 2, 33, kLarge));
    EXPECT_TRUE(glyphAt(screen, 3, 20, 33, kInverted) && glyphAt(screen, 11, 20, 1, kInverted));
    EXPECT_TRUE(glyphAt(screen, 3, 40, 33, kSmall) && glyphAt(screen, 9, 40, 1, kSmall));
    EXPECT_TRUE(glyphAt(screen, 3, 50, 33, kSmall, 255) && glyphAt(screen, 9, 50, 1, kSmall, 255));
    EXPECT_EQ(painted(screen), 4 * 72 + 4 * 42);
}

TEST_F(QVAPainterTest, TextIsCutAtEveryEdgeAndUnknownCodesAreSkipped) {
    painter.DrawText("AB", &tight, 14, 5, false, true);
    painter.DrawText("A", &tight, -3, -4, false, true);
    EXPECT_EQ(tight.pixel(19, 9), glyphPixel(33, kLarge, 5, 4));
    EXPECT_EQ(tight.pixel(0, 0), glyphPixel(33, kLarge, 3, 4));
    EXPECT_EQ(painted(tight, 0xFFAAAAAA), 6 * 5 + 5 * 5);
    EXPECT_TRUE(outsideUntouched());

    painter.DrawText("\x01\x7f\xff" "A", &screen, 0, 0, false, true);
    EXPECT_TRUE(glyphAt(screen, 24, 0, 33, kLarge));
    EXPECT_EQ(painted(screen), 72);
}

TEST_F(QVAPainterTest, MissingOrShortFontsAndForeignImagesAreSafe) {
    QVAPainter blind({dir / "none.png", dir / "none.png", dir / "none.png"});
    for (int i = 0; i < 4; ++i) blind.DrawText("Ab", &screen, 0, 0, i & 1, i & 2);
    EXPECT_EQ(painted(screen), 0);
    const std::string low = strip(dir, "low.png", 8, 3, kLarge);  // shorter than a cell
    QVAPainter(QVAPainter::Fonts{low, low, low}).DrawText("A", &screen, 0, 0, false, true);
    EXPECT_EQ(painted(screen), 8 * 3);

    QImage rgb32(20, 20, QImage::Format_RGB32);
    rgb32.fill(kGrey);
    painter.DrawText("A", &rgb32, 0, 0, false, true);
    painter.DrawBox(&rgb32, 0, 0, 5, 5, 0);
    painter.DrawRight(&rgb32, 0, 0);
    EXPECT_EQ(painted(rgb32), 0);
}

TEST_F(QVAPainterTest, DefaultFontsComeFromTheSandboxRoot) {
    std::filesystem::create_directory(dir.path() / "QVA");
    strip(dir, "QVA/ascii2.png", 8, 9, kInverted);
    ::setenv("QVA_ROOT", dir.path().c_str(), 1);
    QVAPainter box;
    ::unsetenv("QVA_ROOT");
    box.DrawText("!", &screen, 0, 0, true, true);
    box.DrawText("!", &screen, 8, 0, false, true);  // no ascii3.png there
    EXPECT_TRUE(glyphAt(screen, 0, 0, 1, kInverted));
    EXPECT_EQ(painted(screen), 72);
}

TEST_F(QVAPainterTest, BoxesOnlyWhenWhollyInside) {
    const int refused[][4] = {{0, 0, 5, 0},   {0, 0, 0, 5},  {-1, 0, 5, 5},      {0, -1, 5, 5},
                              {250, 0, 7, 5}, {0, 60, 5, 5}, {1, 0, INT_MAX, 1}, {0, 0, -5, 5}};
    for (auto& b : refused) painter.DrawBox(&screen, b[0], b[1], b[2], b[3], 0);
    EXPECT_EQ(painted(screen), 0);
    painter.DrawBox(&screen, 250, 60, 6, 4, -1);
    EXPECT_EQ(painted(screen), 24);
    EXPECT_EQ(screen.pixel(255, 63), kWhite);
}

TEST_F(QVAPainterTest, PreviewCopiedOnlyWhenFormatsMatchAndItFits) {
    QImage preview(113, 64, QImage::Format_RGB888);
    for (int i = 0; i < 113 * 64; ++i)
        preview.setPixel(i % 113, i / 113, qRgb(i % 113, i / 113, 7));
    const QImage rgb32 = preview.convertToFormat(QImage::Format_RGB32);
    painter.CopyQImage(&screen, &rgb32, 0, 0);
    painter.CopyQImage(&screen, &preview, 144, 0);
    EXPECT_EQ(painted(screen), 0);
    painter.CopyQImage(&screen, &preview, 139, 0);
    EXPECT_EQ(screen.copy(139, 0, 113, 64), preview);
    EXPECT_EQ(painted(screen), 113 * 64);
}

TEST_F(QVAPainterTest, IconsAreExactAndCutAtTheEdges) {
    painter.DrawRight(&screen, 10, 10);
    painter.DrawError(&screen, 20, 10);
    std::string tick, cross;
    for (int i = 0; i < 49; ++i) {
        tick += screen.pixel(10 + i % 7, 10 + i / 7) == kWhite ? '#' : '.';
        cross += screen.pixel(20 + i % 7, 10 + i / 7) == kWhite ? '#' : '.';
    }
    EXPECT_EQ(tick, "......." ".....#." ".....#." ".#..#.." "..#.#.." "...#..." ".......");
    EXPECT_EQ(cross, "......." ".#...#." "..#.#.." "...#..." "..#.#.." ".#...#." ".......");
    EXPECT_EQ(painted(screen), 98);

    painter.DrawError(&tight, -3, -3);
    painter.DrawError(&tight, 17, 7);
    EXPECT_EQ(painted(tight, 0xFFAAAAAA), 16 + 9);
    EXPECT_TRUE(tight.pixel(0, 0) == kWhite && tight.pixel(19, 9) == kWhite);
    EXPECT_TRUE(outsideUntouched());
}

}  // namespace
