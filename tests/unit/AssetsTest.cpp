// The asset generator, run as the sandbox runs it: the files it writes must
// be what the burn-in and the front panel read.
#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using namespace testing_support;

namespace {

// Exit status of make-assets DIR; its standard output and error go to log.
int runMakeAssets(const std::string& dir, const std::string& log) {
    const std::string command =
        "'" QVA_BUILD_DIR "/make-assets' '" + dir + "' >'" + log + "' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Assets : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        work_ = std::make_unique<TempDir>();
        exitCode_ = runMakeAssets(root(), *work_ / "log");
    }
    static void TearDownTestSuite() { work_.reset(); }
    static std::string root() { return *work_ / "root"; }
    static QImage load(const std::string& file) {
        return QImage(QString::fromStdString(root() + "/" + file));
    }

    static std::unique_ptr<TempDir> work_;
    static int exitCode_;
};
std::unique_ptr<TempDir> Assets::work_;
int Assets::exitCode_ = -1;

// One glyph of a strip as a string of '#' (dark) and '.' so glyphs compare.
std::string cell(const QImage& strip, int index, int width) {
    std::string pixels;
    for (int y = 0; y < strip.height(); ++y)
        for (int x = 0; x < width; ++x)
            pixels += qGray(strip.pixel(index * width + x, y)) < 128 ? '#' : '.';
    return pixels;
}

}  // namespace

TEST_F(Assets, WritesEveryFileSilently) {
    EXPECT_EQ(exitCode_, 0);
    EXPECT_EQ(readFile(*work_ / "log"), "");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(root() + "/QVA"))
        names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"ascii2.png", "ascii3.png", "ascii_small_white.png",
                                            "numbersHD.dat", "numbersSD.dat"}));
    EXPECT_TRUE(fs::is_regular_file(root() + "/var/www/uploads/logo.png"));
}

// The digit fonts are read back from every recorded picture end to end.

TEST_F(Assets, PanelStripsHaveOneSeparateGlyphPerCharacter) {
    // 24-bit RGB: bit depth and colour type in the PNG header.
    const std::string header = readFile(root() + "/QVA/ascii3.png").substr(24, 2);
    EXPECT_EQ(header, std::string("\x08\x02", 2));

    const QImage large = load("QVA/ascii3.png"), inverse = load("QVA/ascii2.png");
    const QImage small = load("QVA/ascii_small_white.png");
    ASSERT_EQ(large.size(), QSize(760, 9));
    ASSERT_EQ(inverse.size(), QSize(760, 9));
    ASSERT_EQ(small.size(), QSize(570, 7));
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 760; ++x) {
            const QRgb a = large.pixel(x, y), b = inverse.pixel(x, y);
            ASSERT_TRUE(qRed(a) + qRed(b) == 255 && qGreen(a) + qGreen(b) == 255 &&
                        qBlue(a) + qBlue(b) == 255) << x << "," << y;
        }

    struct Strip { const QImage* image; int width; };
    for (const Strip strip : {Strip{&large, 8}, Strip{&small, 6}}) {
        SCOPED_TRACE(strip.width);
        EXPECT_EQ(strip.image->pixel(0, 0), qRgb(255, 255, 255));  // dark on white
        std::set<std::string> shapes;
        for (int i = 0; i < 95; ++i) {
            const std::string pixels = cell(*strip.image, i, strip.width);
            const bool inked = pixels.find('#') != std::string::npos;
            EXPECT_EQ(inked, i != 0) << "character " << char(32 + i);
            // Cells are copied side by side: the last column is the spacing.
            for (int y = 0; y < strip.image->height(); ++y)
                EXPECT_EQ(pixels[size_t(y * strip.width + strip.width - 1)], '.') << char(32 + i);
            shapes.insert(pixels);
        }
        EXPECT_EQ(shapes.size(), 95u);
    }
}

TEST_F(Assets, LogoIsATransparentPictureWithAnOpaqueMarkTopRight) {
    const QImage logo = load("var/www/uploads/logo.png");
    ASSERT_EQ(logo.size(), QSize(720, 576));
    ASSERT_TRUE(logo.hasAlphaChannel());
    std::set<int> alphas;
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width(); ++x) {
            const int alpha = qAlpha(logo.pixel(x, y));
            alphas.insert(alpha);
            if (alpha != 0) {
                ASSERT_TRUE(x >= 360 && y < 288) << x << "," << y;
            }
        }
    EXPECT_TRUE(alphas.count(0) && alphas.count(255));
    EXPECT_GT(alphas.size(), 2u);  // a soft edge
}

TEST(AssetsFailure, UnwritableDirectoryFailsWithAMessage) {
    TempDir work;
    writeFile(work / "plain", "a file, not a folder");
    EXPECT_NE(runMakeAssets(work / "plain/root", work / "log"), 0);
    EXPECT_NE(readFile(work / "log"), "");
}
