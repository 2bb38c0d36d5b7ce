// The layout of every mode and the digit fonts are judged end to end, by
// reading the time code back from every recorded picture; here what a
// recording cannot show: odd inputs, short pictures and fonts, the logo.
#include "encode/TimeCodeBurner.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <array>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using Glyphs = std::array<int, 11>;
using Quad = std::array<uint8_t, 4>;
constexpr Glyphs kTenFiveFiftyNine = {1, 0, 10, 0, 5, 10, 5, 9, 10, 2, 4};

// Every font byte names its glyph (byte / 20) and varies along the row.
uint8_t fontByte(int row, int glyph, int column) { return uint8_t(glyph * 20 + 1 + (row * 5 + column) % 19); }

std::string makeFont(int width, int height) {
    std::string font;
    for (int r = 0; r < height; ++r)
        for (int g = 0; g < 11; ++g)
            for (int c = 0; c < width; ++c) font += char(fontByte(r, g, c));
    return font;
}

// A package of time code 10:05:59:24 with 4 KiB of slack past its size, to see overruns.
struct Frame {
    VideoPackagePtr package = std::make_unique<videoPackage>();
    std::vector<uint8_t> before;
    explicit Frame(size_t size, int fill = -1, Quad tc = {10, 5, 59, 24}) {
        package->buffer = qva::allocateAligned<uint8_t>(size + 4096);
        package->size = size;
        for (size_t i = 0; i < size + 4096; ++i) package->buffer[i] = uint8_t(fill >= 0 ? fill : i * 7 + 3);
        std::tie(package->hours, package->minutes, package->seconds, package->frames) =
            std::tuple(tc[0], tc[1], tc[2], tc[3]);
        before = now();
    }
    videoPackage* get() { return package.get(); }
    std::vector<uint8_t> now() const { return {package->buffer.get(), package->buffer.get() + package->size + 4096}; }
    bool untouched() const { return now() == before; }
    // Cells fill bytes first..last of lines top..bottom; everything else must be as before.
    void expectText(size_t lineBytes, size_t first, size_t last, size_t top, size_t bottom, Glyphs glyphs) const {
        const size_t cell = (last - first + 1) / 11;
        for (size_t i = 0; i < before.size(); ++i) {
            const size_t line = i / lineBytes, at = i % lineBytes, j = at - first;
            const bool inText = line >= top && line <= bottom && at >= first && at <= last;
            const uint8_t expected =
                !inText ? before[i] : j % 2 == 0 ? 127 : fontByte(int(line - top), glyphs[j / cell], int(j % cell / 2));
            if (package->buffer[i] != expected)
                return ADD_FAILURE() << "line " << line << " byte " << at << " is " << int(package->buffer[i]);
        }
    }
};

class TimeCodeBurnerTest : public testing::Test {
protected:
    TempDir dir;
    TimeCodeBurner::Paths paths{dir / "sd.dat", dir / "hd.dat", dir / "logo.png"};
    void SetUp() override {
        writeFile(paths.sdFont, makeFont(14, 18));
        writeFile(paths.hdFont, makeFont(21, 27));
    }
};

}  // namespace

TEST_F(TimeCodeBurnerTest, DrawsNothingItCannotDrawSafely) {
    TimeCodeBurner burner(paths);
    Frame unknown(1440 * 576), tooSmall(41 * 1440 + 873), justLargeEnough(41 * 1440 + 874);
    burner.BurnTimeCodeToFrame(fourCC("xyzw"), unknown.get(), 1);
    burner.BurnTimeCodeToFrame(kModePal, tooSmall.get(), 1);
    burner.BurnTimeCodeToFrame(kModePal, justLargeEnough.get(), 1);
    EXPECT_TRUE(unknown.untouched() && tooSmall.untouched());
    justLargeEnough.expectText(1440, 566, 873, 24, 41, kTenFiveFiftyNine);

    Frame large(1440 * 576, -1, {123, 100, 255, 99});  // shown as 99
    burner.BurnTimeCodeToFrame(kModePal, large.get(), 1);
    large.expectText(1440, 566, 873, 24, 41, {9, 9, 10, 9, 9, 10, 9, 9, 10, 9, 9});
}

TEST_F(TimeCodeBurnerTest, LogoIsStretchedToThePictureAndOnlyBlendedOverItsSize) {
    QImage image(4, 2, QImage::Format_ARGB32);
    image.fill(qRgba(50, 60, 70, 0));
    for (auto [x, y, rgba] : {std::tuple{0, 0, qRgba(255, 0, 0, 255)}, {1, 0, qRgba(0, 0, 255, 255)},
                              {3, 0, qRgba(0, 255, 0, 128)}})
        image.setPixel(x, y, rgba);
    ASSERT_TRUE(image.save(QString::fromStdString(paths.logo), "PNG"));
    TimeCodeBurner burner(paths);
    Frame noSizeYet(1440 * 576), narrower(1440 * 576), shorter(1440 * 576), frame(1440 * 576, 200);
    burner.BurnLogo(kModePal, noSizeYet.get());
    burner.setDimensions(360, 576);  // planes of fewer bytes than the picture, yet of another size
    burner.BurnLogo(kModePal, narrower.get());
    burner.setDimensions(720, 480);
    burner.BurnLogo(kModePal, shorter.get());
    EXPECT_TRUE(noSizeYet.untouched() && narrower.untouched() && shorter.untouched());

    burner.setDimensions(720, 576);
    burner.BurnLogo(kModePal, frame.get());
    // U Y V Y of red and half green, stretched, blended over bytes of 200.
    EXPECT_EQ((Quad{frame.package->buffer[200 * 1440 + 180], frame.package->buffer[200 * 1440 + 181],
                    frame.package->buffer[200 * 1440 + 182], frame.package->buffer[200 * 1440 + 183]}),
              (Quad{89, 80, 238, 80}));
    std::thread reloader([&] { for (int i = 0; i < 5; ++i) burner.loadPNG(); });  // swaps the planes mid-blend
    for (int i = 0; i < 20; ++i) burner.BurnLogo(kModePal, noSizeYet.get());
    reloader.join();

    Frame hd(3840 * 1080), small(1440 * 575), pal(1440 * 576);
    burner.BurnLogo(kModeHi50, hd.get());  // PAL planes over an HD picture
    burner.BurnLogo(kModePal, small.get());
    std::filesystem::remove(paths.logo);  // the reload for the new size fails: no planes at all
    burner.setDimensions(1920, 1080);
    burner.BurnLogo(kModeHi50, hd.get());
    burner.BurnLogo(kModePal, pal.get());
    EXPECT_TRUE(hd.untouched() && small.untouched() && pal.untouched());

}

TEST(TimeCodeBurnerBlendLogo, MatchesTheScalarBlend) {
    std::mt19937 random(7);
    for (size_t size : {16u, 37u, 1445u, 4096u}) {
        SCOPED_TRACE(size);
        std::array<qva::AlignedBuffer<uint8_t>, 4> planes;  // frame, logo, alpha, inverse alpha
        for (auto& plane : planes) plane = qva::allocateAligned<uint8_t>(size);
        std::vector<uint8_t> expected(size);
        for (size_t i = 0; i < size; ++i) {
            for (int p = 0; p < 3; ++p) planes[p][i] = uint8_t(random());
            planes[3][i] = uint8_t(255 - planes[2][i]);
            expected[i] = uint8_t((planes[0][i] * (255 - planes[2][i]) + planes[1][i] * planes[2][i]) >> 8);
        }
        blendLogo(planes[0].get(), planes[1].get(), planes[2].get(), planes[3].get(), size);
        EXPECT_EQ(std::vector<uint8_t>(planes[0].get(), planes[0].get() + size), expected);
    }
}
