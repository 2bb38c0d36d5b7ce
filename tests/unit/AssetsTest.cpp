// The asset generator, run as the sandbox runs it. The digit fonts are judged
// where they are used, by reading the time code back from recorded pictures.
#include <gtest/gtest.h>

#include "TestFiles.h"

#include <QImage>

#include <sys/wait.h>

#include <cstdlib>
#include <set>
#include <string>

using namespace testing_support;

namespace {

// Exit status of make-assets DIR; its standard output and error go to log.
int runMakeAssets(const std::string& dir, const std::string& log) {
    const std::string command = "'" QVA_BUILD_DIR "/make-assets' '" + dir + "' >'" + log + "' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One glyph of a strip as a string of '#' (dark) and '.' so glyphs compare.
std::string cell(const QImage& strip, int index, int width) {
    std::string pixels;
    for (int y = 0; y < strip.height(); ++y)
        for (int x = 0; x < width; ++x) pixels += qGray(strip.pixel(index * width + x, y)) < 128 ? '#' : '.';
    return pixels;
}

}  // namespace

TEST(Assets, PanelStripsHaveOneSeparateGlyphPerCharacter) {
    TempDir work;
    ASSERT_EQ(runMakeAssets(work / "root", work / "log"), 0);
    EXPECT_EQ(readFile(work / "log"), "");
    const auto load = [&](const std::string& name) {
        return QImage(QString::fromStdString(work / ("root/QVA/" + name)));
    };
    const QImage large = load("ascii3.png"), small = load("ascii_small_white.png");
    ASSERT_TRUE(large.size() == QSize(760, 9) && small.size() == QSize(570, 7));
    for (auto [strip, width] : {std::pair{&large, 8}, std::pair{&small, 6}}) {
        SCOPED_TRACE(width);
        std::set<std::string> shapes;
        for (int i = 0; i < 95; ++i) {
            const std::string pixels = cell(*strip, i, width);
            EXPECT_EQ(pixels.find('#') != std::string::npos, i != 0) << "character " << char(32 + i);
            shapes.insert(pixels);
        }
        EXPECT_EQ(shapes.size(), 95u);
    }
}
