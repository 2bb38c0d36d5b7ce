// The layout of every mode and the digit fonts are judged end to end, by reading the time code back
// from every recorded picture; here what a recording cannot show: odd inputs, pictures too small, the logo.
#include "encode/TimeCodeBurner.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <algorithm>
#include <array>
#include <thread>
#include <tuple>
#include <vector>

using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using Quad = std::array<uint8_t, 4>;

// Every font byte names its glyph (byte / 20) and varies along the row.
std::string makeFont(int width, int height) {
    std::string font;
    for (int r = 0; r < height; ++r)
        for (int g = 0; g < 11; ++g)
            for (int c = 0; c < width; ++c) font += char(g * 20 + 1 + (r * 5 + c) % 19);
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

TEST_F(TimeCodeBurnerTest, DrawsNothingItCannotDrawSafelyAndNoFieldPast99) {
    TimeCodeBurner burner(paths);
    Frame unknown(1440 * 576), tooSmall(41 * 1440 + 873), justLargeEnough(41 * 1440 + 874), whole(1440 * 576);
    burner.BurnTimeCodeToFrame(fourCC("xyzw"), unknown.get(), 1);
    for (Frame* frame : {&tooSmall, &justLargeEnough, &whole}) burner.BurnTimeCodeToFrame(kModePal, frame->get(), 1);
    EXPECT_TRUE(unknown.untouched() && tooSmall.untouched() && !whole.untouched());
    // The text ends on the picture's last byte: drawn as in a whole picture, and nothing past it.
    const std::vector<uint8_t> drawn = justLargeEnough.now(), inWhole = whole.now();
    EXPECT_TRUE(std::equal(drawn.begin(), drawn.end() - 4096, inWhole.begin()));
    EXPECT_TRUE(std::equal(drawn.end() - 4096, drawn.end(), justLargeEnough.before.end() - 4096));

    Frame large(1440 * 576, -1, {123, 100, 255, 99}), nines(1440 * 576, -1, {99, 99, 99, 99});
    burner.BurnTimeCodeToFrame(kModePal, large.get(), 1);
    burner.BurnTimeCodeToFrame(kModePal, nines.get(), 1);
    EXPECT_EQ(large.now(), nines.now());
}

TEST_F(TimeCodeBurnerTest, LogoIsStretchedToThePictureAndOnlyBlendedOverItsSize) {
    QImage image(4, 2, QImage::Format_ARGB32);  // red top left, the rest transparent
    image.fill(qRgba(50, 60, 70, 0));
    image.setPixel(0, 0, qRgba(255, 0, 0, 255));
    ASSERT_TRUE(image.save(QString::fromStdString(paths.logo), "PNG"));
    TimeCodeBurner burner(paths);
    Frame noSizeYet(1440 * 576), shorter(1440 * 576), frame(1440 * 576, 200);
    burner.BurnLogo(kModePal, noSizeYet.get());
    burner.setDimensions(720, 480);  // planes of fewer bytes than the picture, yet of another size
    burner.BurnLogo(kModePal, shorter.get());
    EXPECT_TRUE(noSizeYet.untouched() && shorter.untouched());

    burner.setDimensions(720, 576);
    burner.BurnLogo(kModePal, frame.get());
    const uint8_t* pixels = frame.package->buffer.get();  // U Y V Y over bytes of 200: red stretched, then clear
    EXPECT_EQ((std::vector<uint8_t>{pixels[287 * 1440 + 356], pixels[287 * 1440 + 357], pixels[287 * 1440 + 360]}),
              (std::vector<uint8_t>{89, 80, 199}));
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
