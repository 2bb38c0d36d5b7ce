#include "encode/TimeCodeBurner.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <array>
#include <cstdlib>
#include <functional>
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
    template <class... Frames> static std::vector<bool> untouched(const Frames&... frames) {
        return {frames.untouched()...};
    }
    Quad pairAt(int x, int y) const {  // of a 720 wide picture
        const uint8_t* p = package->buffer.get() + (size_t(y) * 720 + size_t(x)) * 2;
        return {p[0], p[1], p[2], p[3]};
    }
    // Cells fill bytes first..last of lines top..bottom; everything else must be as before.
    void expectText(size_t lineBytes, size_t first, size_t last, size_t top, size_t bottom, Glyphs glyphs,
                    std::function<uint8_t(int, int, int)> font = fontByte) const {
        const size_t cell = (last - first + 1) / 11;
        for (size_t i = 0; i < before.size(); ++i) {
            const size_t line = i / lineBytes, at = i % lineBytes, j = at - first;
            const bool inText = line >= top && line <= bottom && at >= first && at <= last;
            const uint8_t expected =
                !inText ? before[i] : j % 2 == 0 ? 127 : font(int(line - top), glyphs[j / cell], int(j % cell / 2));
            if (package->buffer[i] != expected)
                return ADD_FAILURE() << "line " << line << " byte " << at << " is " << int(package->buffer[i]);
        }
    }
};

const QRgb kRed = qRgba(255, 0, 0, 255), kBlue = qRgba(0, 0, 255, 255), kHalfGreen = qRgba(0, 255, 0, 128),
           kClear = qRgba(9, 9, 9, 0);
// U Y V Y of each colour blended over bytes of 200.
const Quad kRedOver200 = {89, 80, 238, 80}, kBlueOver200 = {238, 39, 108, 39}, kClearOver200 = {199, 199, 199, 199},
           kHalfGreenOver200 = {125, 171, 116, 171};

class TimeCodeBurnerTest : public testing::Test {
protected:
    TempDir dir;
    TimeCodeBurner::Paths paths{dir / "sd.dat", dir / "hd.dat", dir / "logo.png"};
    void SetUp() override {
        writeFile(paths.sdFont, makeFont(14, 18));
        writeFile(paths.hdFont, makeFont(21, 27));
    }
    void expectPairs(const Frame& frame, std::vector<std::tuple<int, int, Quad>> pairs) {
        for (auto [x, y, quad] : pairs) EXPECT_EQ(frame.pairAt(x, y), quad) << x << "," << y;
    }
    // A picture with the given pixels, the rest transparent.
    void writeLogo(int width, int height, std::vector<std::tuple<int, int, QRgb>> pixels) {
        QImage image(width, height, QImage::Format_ARGB32);
        image.fill(qRgba(50, 60, 70, 0));
        for (auto [x, y, rgba] : pixels) image.setPixel(x, y, rgba);
        ASSERT_TRUE(image.save(QString::fromStdString(paths.logo), "PNG"));
    }
};

}  // namespace

TEST_F(TimeCodeBurnerTest, DrawsTheTimeCodeCellsOfEachLayout) {
    struct Case { uint32_t mode; int position; size_t lineBytes, lines, first, last, top, bottom; };
    for (Case c : {Case{kModePal, 1, 1440, 576, 566, 873, 24, 41}, Case{kModePal, 2, 1440, 576, 566, 873, 534, 551},
                   Case{kModeNtsc, 2, 1440, 480, 566, 873, 438, 455}, Case{kModeHp59, 0, 2560, 720, 1050, 1511, 40, 66},
                   Case{kModeHi50, 2, 3840, 1080, 1690, 2151, 1018, 1044},
                   Case{kModeHi59, 1, 3840, 1080, 1690, 2151, 54, 80}}) {
        SCOPED_TRACE(c.top);
        TimeCodeBurner burner(paths);
        Frame frame(c.lineBytes * c.lines);
        burner.BurnTimeCodeToFrame(c.mode, frame.get(), c.position);
        frame.expectText(c.lineBytes, c.first, c.last, c.top, c.bottom, kTenFiveFiftyNine);
    }
}

TEST_F(TimeCodeBurnerTest, DrawsNothingItCannotDrawSafely) {
    TimeCodeBurner burner(paths);
    Frame unknown(1440 * 576), tooSmall(41 * 1440 + 873), justLargeEnough(41 * 1440 + 874);
    burner.BurnTimeCodeToFrame(fourCC("xyzw"), unknown.get(), 1);
    burner.BurnTimeCodeToFrame(kModePal, tooSmall.get(), 1);
    burner.BurnTimeCodeToFrame(kModePal, justLargeEnough.get(), 1);
    EXPECT_EQ(Frame::untouched(unknown, tooSmall), std::vector<bool>(2, true));
    justLargeEnough.expectText(1440, 566, 873, 24, 41, kTenFiveFiftyNine);

    Frame large(1440 * 576, -1, {123, 100, 255, 99});  // shown as 99
    burner.BurnTimeCodeToFrame(kModePal, large.get(), 1);
    large.expectText(1440, 566, 873, 24, 41, {9, 9, 10, 9, 9, 10, 9, 9, 10, 9, 9});
}

TEST_F(TimeCodeBurnerTest, MissingOrShortFontDrawsZeroLuma) {
    std::filesystem::remove(paths.sdFont);
    writeFile(paths.hdFont, makeFont(21, 27).substr(0, 1000));
    TimeCodeBurner burner(paths);
    Frame sd(1440 * 576), hd(2560 * 720);
    burner.BurnTimeCodeToFrame(kModePal, sd.get(), 1);
    burner.BurnTimeCodeToFrame(kModeHp50, hd.get(), 1);
    sd.expectText(1440, 566, 873, 24, 41, kTenFiveFiftyNine, [](int, int, int) { return 0; });
    hd.expectText(2560, 1050, 1511, 40, 66, kTenFiveFiftyNine,
                  [](int r, int g, int c) { return r * 231 + g * 21 + c < 1000 ? fontByte(r, g, c) : 0; });
}

TEST_F(TimeCodeBurnerTest, DefaultPathsGoThroughTheSandboxRoot) {
    for (const char* folder : {"QVA", "var/www/uploads"}) std::filesystem::create_directories(dir.path() / folder);
    std::filesystem::rename(paths.sdFont, dir / "QVA/numbersSD.dat");
    paths.logo = dir / "var/www/uploads/logo.png";
    writeLogo(2, 2, {{0, 0, kRed}});
    const char* old = std::getenv("QVA_ROOT");
    const std::string saved = old ? old : "";
    setenv("QVA_ROOT", dir.path().c_str(), 1);
    TimeCodeBurner burner(720, 576);
    old ? setenv("QVA_ROOT", saved.c_str(), 1) : unsetenv("QVA_ROOT");

    Frame logo(1440 * 576, 200), text(1440 * 576);
    burner.BurnLogo(kModePal, logo.get());
    burner.BurnTimeCodeToFrame(kModePal, text.get(), 1);
    EXPECT_EQ(logo.pairAt(0, 0), kRedOver200);
    text.expectText(1440, 566, 873, 24, 41, kTenFiveFiftyNine);
}

TEST_F(TimeCodeBurnerTest, LogoPairsTakeChromaFromTheFirstPixelAndEachItsOwnAlpha) {
    writeLogo(720, 576,
              {{0, 0, kRed}, {3, 0, kBlue}, {4, 0, kRed}, {5, 0, kBlue}, {6, 0, kHalfGreen}, {7, 0, kHalfGreen}});
    TimeCodeBurner burner(paths);
    burner.setDimensions(720, 576);
    Frame frame(1440 * 576, 200);
    burner.BurnLogo(kModePal, frame.get());
    expectPairs(frame, {{0, 0, {89, 80, 238, 199}}, {2, 0, {199, 199, 199, 39}}, {4, 0, {89, 80, 238, 39}},
                        {6, 0, kHalfGreenOver200}, {718, 575, kClearOver200}});
}

TEST_F(TimeCodeBurnerTest, LogoIsStretchedToThePictureAndOnlyBlendedOverItsSize) {
    writeLogo(4, 2,
              {{0, 0, kRed}, {1, 0, kBlue}, {2, 0, kClear}, {3, 0, kHalfGreen}, {0, 1, kHalfGreen}, {3, 1, kRed}});
    TimeCodeBurner burner(paths);
    Frame noSizeYet(1440 * 576), narrower(1440 * 576), shorter(1440 * 576), frame(1440 * 576, 200);
    burner.BurnLogo(kModePal, noSizeYet.get());
    burner.setDimensions(360, 576);  // planes of fewer bytes than the picture, yet of another size
    burner.BurnLogo(kModePal, narrower.get());
    burner.setDimensions(720, 480);
    burner.BurnLogo(kModePal, shorter.get());
    EXPECT_EQ(Frame::untouched(noSizeYet, narrower, shorter), std::vector<bool>(3, true));

    burner.setDimensions(720, 576);
    burner.BurnLogo(kModePal, frame.get());
    expectPairs(frame, {{90, 100, kRedOver200}, {270, 100, kBlueOver200}, {450, 100, kClearOver200},
                        {630, 100, kHalfGreenOver200}, {90, 400, kHalfGreenOver200}, {630, 400, kRedOver200}});

    Frame hd(3840 * 1080), small(1440 * 575), pal(1440 * 576);
    burner.BurnLogo(kModeHi50, hd.get());  // PAL planes over an HD picture
    burner.BurnLogo(kModePal, small.get());
    std::filesystem::remove(paths.logo);  // the reload for the new size fails: no planes at all
    burner.setDimensions(1920, 1080);
    burner.BurnLogo(kModeHi50, hd.get());
    burner.BurnLogo(kModePal, pal.get());
    EXPECT_EQ(Frame::untouched(hd, small, pal), std::vector<bool>(3, true));
}

TEST_F(TimeCodeBurnerTest, ReloadsWhileBlending) {
    writeLogo(4, 2, {{0, 0, kRed}});
    TimeCodeBurner burner(paths);
    burner.setDimensions(720, 576);
    std::thread reloader([&] { for (int i = 0; i < 5; ++i) burner.loadPNG(); });
    Frame frame(1440 * 576);
    for (int i = 0; i < 20; ++i) burner.BurnLogo(kModePal, frame.get());
    reloader.join();
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
    // Transparent keeps b * 255 >> 8; opaque white over white stays below white.
    alignas(16) uint8_t frame[32] = {255, 1, 0, 255}, logo[32] = {77, 77, 77, 255}, alpha[32] = {0, 0, 0, 255},
                        inverse[32] = {255, 255, 255, 0};
    frame[17] = logo[17] = alpha[17] = 255;
    blendLogo(frame, logo, alpha, inverse, 32);
    EXPECT_EQ((Quad{frame[0], frame[1], frame[2], frame[3]}), (Quad{254, 0, 0, 254}));
    EXPECT_EQ(frame[17], 254);
}
