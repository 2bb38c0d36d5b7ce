// make-assets DIR: writes the box's generated artwork under the sandbox root
// DIR: the time-code digit fonts, the front-panel font strips and the logo.
// Every glyph comes from the bitmap tables below, so the output is the same
// on every machine and needs no font installed.
#include <QImage>
#include <QImageWriter>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFirstCode = 32;  // space
constexpr int kGlyphCount = 95; // space .. '~'

// A bitmap font: kGlyphCount glyphs of Width x Height design cells, one bit
// per cell (bit Width-1-x is column x).
template <int Width, int Height>
struct Font {
    static constexpr int width = Width;
    static constexpr int height = Height;
    std::array<std::array<uint8_t, Height>, kGlyphCount> rows{};

    bool ink(int code, int x, int y) const {
        return (rows[code - kFirstCode][y] >> (Width - 1 - x)) & 1;
    }
};

// The tables are drawn as blocks of glyphs side by side, one string per
// design row, glyphs separated by one space, '#' ink and '.' background.
// Parsing happens at compile time: a misdrawn row fails the build.
template <int Width, int Height, size_t Blocks>
consteval Font<Width, Height> parseFont(const std::string_view (&blocks)[Blocks][Height]) {
    static_assert(Width <= 8);
    Font<Width, Height> font;
    int next = 0;
    for (const auto& block : blocks) {
        const size_t length = block[0].size();
        if ((length + 1) % (Width + 1) != 0) throw "row length is not a whole number of glyphs";
        const int count = int((length + 1) / (Width + 1));
        if (next + count > kGlyphCount) throw "too many glyphs";
        for (int y = 0; y < Height; ++y) {
            const std::string_view row = block[y];
            if (row.size() != length) throw "rows of a block differ in length";
            for (int g = 0; g < count; ++g) {
                const size_t start = size_t(g) * (Width + 1);
                if (g > 0 && row[start - 1] != ' ') throw "glyphs must be separated by one space";
                uint8_t bits = 0;
                for (int x = 0; x < Width; ++x) {
                    const char c = row[start + x];
                    if (c != '#' && c != '.') throw "only '#' and '.' draw a glyph";
                    bits = uint8_t(bits << 1 | (c == '#'));
                }
                font.rows[next + g][y] = bits;
            }
        }
        next += count;
    }
    if (next != kGlyphCount) throw "every code from space to '~' needs a glyph";
    return font;
}

// Large font: 5 wide, capitals and digits 7 rows high (rows 0..6), row 7
// only for descenders. Also the source of the time-code digits and the logo.
constexpr std::string_view kLargeDesign[][8] = {
    // space ! " # $ % & ' ( ) * +
    {"..... ..#.. .#.#. .#.#. ..#.. ##... .##.. ..#.. ...#. .#... ..... .....",
     "..... ..#.. .#.#. .#.#. .#### ##..# #..#. ..#.. ..#.. ..#.. ..#.. ..#..",
     "..... ..#.. .#.#. ##### #.#.. ...#. #.#.. .#... .#... ...#. #.#.# ..#..",
     "..... ..#.. ..... .#.#. .###. ..#.. .#... ..... .#... ...#. .###. #####",
     "..... ..#.. ..... ##### ..#.# .#... #.#.# ..... .#... ...#. #.#.# ..#..",
     "..... ..... ..... .#.#. ####. #..## #..#. ..... ..#.. ..#.. ..#.. ..#..",
     "..... ..#.. ..... .#.#. ..#.. ...## .##.# ..... ...#. .#... ..... .....",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // , - . / 0 1 2 3 4 5 6 7
    {"..... ..... ..... ..... .###. ..#.. .###. ##### ...#. ##### ..##. #####",
     "..... ..... ..... ....# #...# .##.. #...# ...#. ..##. #.... .#... ....#",
     "..... ..... ..... ...#. #..## ..#.. ....# ..#.. .#.#. ####. #.... ...#.",
     "..... ##### ..... ..#.. #.#.# ..#.. ...#. ...#. #..#. ....# ####. ..#..",
     "..... ..... ..... .#... ##..# ..#.. ..#.. ....# ##### ....# #...# .#...",
     ".##.. ..... .##.. #.... #...# ..#.. .#... #...# ...#. #...# #...# .#...",
     "..#.. ..... .##.. ..... .###. .###. ##### .###. ...#. .###. .###. .#...",
     ".#... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // 8 9 : ; < = > ? @ A B C
    {".###. .###. ..... ..... ...#. ..... .#... .###. .###. .###. ####. .###.",
     "#...# #...# ..#.. ..#.. ..#.. ..... ..#.. #...# #...# #...# #...# #...#",
     "#...# #...# ..#.. ..#.. .#... ##### ...#. ....# ....# #...# #...# #....",
     ".###. .#### ..... ..... #.... ..... ....# ...#. .##.# ##### ####. #....",
     "#...# ....# ..#.. ..#.. .#... ##### ...#. ..#.. #.#.# #...# #...# #....",
     "#...# ...#. ..#.. ..#.. ..#.. ..... ..#.. ..... #.#.# #...# #...# #...#",
     ".###. .##.. ..... .#... ...#. ..... .#... ..#.. .###. #...# ####. .###.",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // D E F G H I J K L M N O
    {"###.. ##### ##### .###. #...# .###. ..### #...# #.... #...# #...# .###.",
     "#..#. #.... #.... #...# #...# ..#.. ...#. #..#. #.... ##.## #...# #...#",
     "#...# #.... #.... #.... #...# ..#.. ...#. #.#.. #.... #.#.# ##..# #...#",
     "#...# ####. ####. #.### ##### ..#.. ...#. ##... #.... #.#.# #.#.# #...#",
     "#...# #.... #.... #...# #...# ..#.. ...#. #.#.. #.... #...# #..## #...#",
     "#..#. #.... #.... #...# #...# ..#.. #..#. #..#. #.... #...# #...# #...#",
     "###.. ##### #.... .#### #...# .###. .##.. #...# ##### #...# #...# .###.",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // P Q R S T U V W X Y Z [
    {"####. .###. ####. .#### ##### #...# #...# #...# #...# #...# ##### .###.",
     "#...# #...# #...# #.... ..#.. #...# #...# #...# #...# #...# ....# .#...",
     "#...# #...# #...# #.... ..#.. #...# #...# #...# .#.#. .#.#. ...#. .#...",
     "####. #...# ####. .###. ..#.. #...# #...# #.#.# ..#.. ..#.. ..#.. .#...",
     "#.... #.#.# #.#.. ....# ..#.. #...# #...# #.#.# .#.#. ..#.. .#... .#...",
     "#.... #..#. #..#. ....# ..#.. #...# .#.#. #.#.# #...# ..#.. #.... .#...",
     "#.... .##.# #...# ####. ..#.. .###. ..#.. .#.#. #...# ..#.. ##### .###.",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // backslash ] ^ _ ` a b c d e f g
    {"..... .###. ..#.. ..... .#... ..... #.... ..... ....# ..... ..##. .....",
     "#.... ...#. .#.#. ..... ..#.. ..... #.... ..... ....# ..... .#..# .....",
     ".#... ...#. #...# ..... ...#. .###. #.##. .###. .##.# .###. .#... .####",
     "..#.. ...#. ..... ..... ..... ....# ##..# #.... #..## #...# ###.. #...#",
     "...#. ...#. ..... ..... ..... .#### #...# #.... #...# ##### .#... #...#",
     "....# ...#. ..... ..... ..... #...# #...# #...# #...# #.... .#... .####",
     "..... .###. ..... ..... ..... .#### ####. .###. .#### .###. .#... ....#",
     "..... ..... ..... ##### ..... ..... ..... ..... ..... ..... ..... .###."},
    // h i j k l m n o p q r s
    {"#.... ..#.. ...#. #.... .##.. ..... ..... ..... ..... ..... ..... .....",
     "#.... ..... ..... #.... ..#.. ..... ..... ..... ..... ..... ..... .....",
     "#.##. .##.. ..##. #..#. ..#.. ##.#. #.##. .###. ####. .#### #.##. .####",
     "##..# ..#.. ...#. #.#.. ..#.. #.#.# ##..# #...# #...# #...# ##..# #....",
     "#...# ..#.. ...#. ##... ..#.. #.#.# #...# #...# #...# #...# #.... .###.",
     "#...# ..#.. ...#. #.#.. ..#.. #...# #...# #...# ####. .#### #.... ....#",
     "#...# .###. #..#. #..#. .###. #...# #...# .###. #.... ....# #.... ####.",
     "..... ..... .##.. ..... ..... ..... ..... ..... #.... ....# ..... ....."},
    // t u v w x y z { | } ~
    {".#... ..... ..... ..... ..... ..... ..... ..##. ..#.. .##.. .....",
     ".#... ..... ..... ..... ..... ..... ..... .#... ..#.. ...#. .....",
     "###.. #...# #...# #...# #...# #...# ##### .#... ..#.. ...#. .#...",
     ".#... #...# #...# #...# .#.#. #...# ...#. #.... ..#.. ....# #.#.#",
     ".#... #...# #...# #.#.# ..#.. #...# ..#.. .#... ..#.. ...#. ...#.",
     ".#..# #..## .#.#. #.#.# .#.#. .#### .#... .#... ..#.. ...#. .....",
     "..##. .##.# ..#.. .#.#. #...# ....# ##### ..##. ..#.. .##.. .....",
     "..... ..... ..... ..... ..... .###. ..... ..... ..... ..... ....."}
};
constexpr auto kLarge = parseFont<5, 8>(kLargeDesign);

// Small font: at most 5 wide (most glyphs 4 or 3, which leaves more room
// between letters), capitals and digits 5 rows high, row 5 for descenders.
// Lower case has a 4-row x-height so it stays apart from the capitals.
constexpr std::string_view kSmallDesign[][6] = {
    // space ! " # $ % & ' ( ) * +
    {"..... .#... #.#.. .#.#. .#### ##..# .#... .#... ..#.. .#... ..#.. .....",
     "..... .#... #.#.. ##### #.#.. ##.#. #.#.. .#... .#... ..#.. #.#.# .#...",
     "..... .#... ..... .#.#. .###. ..#.. .##.. ..... .#... ..#.. .###. ###..",
     "..... ..... ..... ##### ..#.# .#.## #..#. ..... .#... ..#.. #.#.# .#...",
     "..... .#... ..... .#.#. ####. #..## .##.# ..... ..#.. .#... ..#.. .....",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // , - . / 0 1 2 3 4 5 6 7
    {"..... ..... ..... ....# .##.. .#... ###.. ###.. #..#. ####. .##.. ####.",
     "..... ..... ..... ...#. #..#. ##... ...#. ...#. #..#. #.... #.... ...#.",
     "..... ###.. ..... ..#.. #..#. .#... .##.. .##.. ####. ###.. ###.. ..#..",
     "..... ..... ..... .#... #..#. .#... #.... ...#. ...#. ...#. #..#. .#...",
     ".#... ..... .#... #.... .##.. ###.. ####. ###.. ...#. ###.. .##.. .#...",
     "#.... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // 8 9 : ; < = > ? @ A B C
    {".##.. .##.. ..... ..... ..#.. ..... #.... .##.. .###. .##.. ###.. .###.",
     "#..#. #..#. .#... .#... .#... ###.. .#... #..#. #.#.# #..#. #..#. #....",
     ".##.. .###. ..... ..... #.... ..... ..#.. ..#.. #.### ####. ###.. #....",
     "#..#. ...#. .#... .#... .#... ###.. .#... ..... #.... #..#. #..#. #....",
     ".##.. .##.. ..... #.... ..#.. ..... #.... ..#.. .###. #..#. ###.. .###.",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // D E F G H I J K L M N O
    {"###.. ####. ####. .###. #..#. ###.. ...#. #..#. #.... #...# #...# .###.",
     "#..#. #.... #.... #.... #..#. .#... ...#. #.#.. #.... ##.## ##..# #...#",
     "#..#. ###.. ###.. #.##. ####. .#... ...#. ##... #.... #.#.# #.#.# #...#",
     "#..#. #.... #.... #..#. #..#. .#... #..#. #.#.. #.... #...# #..## #...#",
     "###.. ####. #.... .###. #..#. ###.. .##.. #..#. ####. #...# #...# .###.",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // P Q R S T U V W X Y Z [
    {"###.. .###. ###.. .###. ##### #..#. #...# #...# #...# #...# ####. ##...",
     "#..#. #...# #..#. #.... ..#.. #..#. #...# #...# .#.#. .#.#. ..#.. #....",
     "###.. #...# ###.. .##.. ..#.. #..#. #...# #.#.# ..#.. ..#.. .#... #....",
     "#.... #..#. #.#.. ...#. ..#.. #..#. .#.#. ##.## .#.#. ..#.. #.... #....",
     "#.... .##.# #..#. ###.. ..#.. .##.. ..#.. #...# #...# ..#.. ####. ##...",
     "..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ..... ....."},
    // backslash ] ^ _ ` a b c d e f g
    {"#.... ##... .#... ..... #.... ..... #.... ..... ...#. ..... ..##. .....",
     ".#... .#... #.#.. ..... .#... .###. ###.. .###. .###. .##.. .#... .###.",
     "..#.. .#... ..... ..... ..... #..#. #..#. #.... #..#. ####. ###.. #..#.",
     "...#. .#... ..... ..... ..... #..#. #..#. #.... #..#. #.... .#... .###.",
     "....# ##... ..... ..... ..... .###. ###.. .###. .###. .###. .#... ...#.",
     "..... ..... ..... ####. ..... ..... ..... ..... ..... ..... ..... .##.."},
    // h i j k l m n o p q r s
    {"#.... .#... ..#.. #.... ##... ..... ..... ..... ..... ..... ..... .....",
     "###.. ..... ..... #.... .#... ##.#. ###.. .##.. ###.. .###. #.##. .###.",
     "#..#. ##... ..#.. #.#.. .#... #.#.# #..#. #..#. #..#. #..#. ##... ##...",
     "#..#. .#... ..#.. ##... .#... #.#.# #..#. #..#. ###.. .###. #.... ..##.",
     "#..#. ###.. #.#.. #.#.. .##.. #.#.# #..#. .##.. #.... ...#. #.... ###..",
     "..... ..... .#... ..... ..... ..... ..... ..... #.... ...#. ..... ....."},
    // t u v w x y z { | } ~
    {".#... ..... ..... ..... ..... ..... ..... .##.. .#... ##... .....",
     "###.. #..#. #...# #...# #..#. #..#. ####. .#... .#... .#... .#...",
     ".#... #..#. #...# #.#.# .##.. #..#. ..#.. #.... .#... ..#.. #.#.#",
     ".#... #..#. .#.#. #.#.# .##.. .###. .#... .#... .#... .#... ...#.",
     "..#.. .###. ..#.. .#.#. #..#. ...#. ####. .##.. .#... ##... .....",
     "..... ..... ..... ..... ..... .##.. ..... ..... .#... ..... ....."}
};
constexpr auto kSmall = parseFont<5, 6>(kSmallDesign);

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "make-assets: %s\n", message.c_str());
    std::exit(1);
}

fs::path temporaryFor(const fs::path& path) {
    fs::path tmp = path;
    tmp += ".tmp";
    return tmp;
}

// Written beside the target and renamed over it, so a reader never sees half
// a file.
void commit(const fs::path& tmp, const fs::path& path) {
    std::error_code error;
    fs::rename(tmp, path, error);
    if (error) {
        fs::remove(tmp, error);
        fail("cannot write " + path.string() + ": " + error.message());
    }
}

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    const fs::path tmp = temporaryFor(path);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(tmp, ignored);
            fail("cannot write " + path.string());
        }
    }
    commit(tmp, path);
}

void writePng(const fs::path& path, const QImage& image) {
    const fs::path tmp = temporaryFor(path);
    QImageWriter writer(QString::fromStdString(tmp.string()), "png");
    if (!writer.write(image)) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        fail("cannot write " + path.string() + ": " + writer.errorString().toStdString());
    }
    commit(tmp, path);
}

// Time-code digits for the burn-in: glyphs 0..9 and a colon, each a
// glyphWidth x glyphHeight cell of luma bytes, stored row by row across all
// 11 glyphs. The large design is scaled by whole pixels and centred, so every
// cell keeps a dark margin and neighbouring glyphs never touch.
std::vector<uint8_t> digitFont(int glyphWidth, int glyphHeight) {
    constexpr uint8_t kBlack = 16;   // video black
    constexpr uint8_t kWhite = 235;  // video white
    constexpr int kDesignWidth = 5, kDesignHeight = 7;
    const int scale = std::min((glyphWidth - 2) / kDesignWidth, (glyphHeight - 2) / kDesignHeight);
    const int left = (glyphWidth - kDesignWidth * scale) / 2;
    const int top = (glyphHeight - kDesignHeight * scale) / 2;
    constexpr char kCodes[] = "0123456789:";
    constexpr int kGlyphs = sizeof kCodes - 1;
    const int rowLength = kGlyphs * glyphWidth;

    std::vector<uint8_t> bytes(size_t(rowLength) * size_t(glyphHeight), kBlack);
    for (int g = 0; g < kGlyphs; ++g) {
        for (int y = 0; y < kDesignHeight * scale; ++y) {
            for (int x = 0; x < kDesignWidth * scale; ++x) {
                if (!kLarge.ink(kCodes[g], x / scale, y / scale)) continue;
                const int column = g * glyphWidth + left + x;
                bytes[size_t(top + y) * size_t(rowLength) + size_t(column)] = kWhite;
            }
        }
    }
    return bytes;
}

// A panel font strip: one cell per code from space to '~', black glyphs on
// white. The design sits at (left, top) in its cell; the rest of the cell is
// the spacing the panel gets when it copies whole cells.
template <int W, int H>
QImage fontStrip(const Font<W, H>& font, int cellWidth, int cellHeight, int left, int top) {
    QImage strip(cellWidth * kGlyphCount, cellHeight, QImage::Format_RGB888);
    strip.fill(qRgb(255, 255, 255));
    for (int code = kFirstCode; code < kFirstCode + kGlyphCount; ++code) {
        const int x0 = (code - kFirstCode) * cellWidth + left;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                if (font.ink(code, x, y)) strip.setPixel(x0 + x, top + y, qRgb(0, 0, 0));
    }
    return strip;
}

// The logo: transparent except a white rounded badge in the top-right
// corner, inside the action-safe area, with "QVA" from the large design. The
// badge edge fades over a couple of pixels so it blends smoothly.
QImage logo() {
    constexpr int kWidth = 720, kHeight = 576;
    constexpr int kScale = 6;    // pixels per design cell
    constexpr int kPadding = 2;  // design cells around the text
    constexpr int kMargin = 36;  // 5 % of the width, from the top and right edges
    constexpr double kRadius = 14, kFade = 2.5;
    constexpr char kText[] = "QVA";
    constexpr int kLetters = sizeof kText - 1;
    // One design cell between letters.
    constexpr int kTextWidth = kLetters * kLarge.width + (kLetters - 1);
    constexpr int kTextHeight = 7;
    constexpr int kBadgeWidth = (kTextWidth + 2 * kPadding) * kScale;
    constexpr int kBadgeHeight = (kTextHeight + 2 * kPadding) * kScale;
    constexpr int kBadgeLeft = kWidth - kMargin - kBadgeWidth;
    constexpr int kBadgeTop = kMargin;
    const QRgb ink = qRgb(24, 36, 72);

    QImage image(kWidth, kHeight, QImage::Format_ARGB32);
    image.fill(qRgba(0, 0, 0, 0));
    const double halfWidth = kBadgeWidth / 2.0, halfHeight = kBadgeHeight / 2.0;
    const double centreX = kBadgeLeft + halfWidth, centreY = kBadgeTop + halfHeight;
    for (int y = kBadgeTop - 4; y < kBadgeTop + kBadgeHeight + 4; ++y) {
        for (int x = kBadgeLeft - 4; x < kBadgeLeft + kBadgeWidth + 4; ++x) {
            // Signed distance from the pixel centre to the rounded rectangle.
            const double qx = std::abs(x + 0.5 - centreX) - (halfWidth - kRadius);
            const double qy = std::abs(y + 0.5 - centreY) - (halfHeight - kRadius);
            const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
            const double distance = outside + std::min(std::max(qx, qy), 0.0) - kRadius;
            const double coverage = std::clamp(0.5 - distance / kFade, 0.0, 1.0);
            const int alpha = int(std::lround(coverage * 255));
            if (alpha == 0) continue;

            QRgb colour = qRgb(255, 255, 255);
            const int tx = (x - kBadgeLeft) / kScale - kPadding;
            const int ty = (y - kBadgeTop) / kScale - kPadding;
            if (x >= kBadgeLeft && y >= kBadgeTop && tx >= 0 && tx < kTextWidth && ty >= 0 &&
                ty < kTextHeight) {
                const int letter = tx / (kLarge.width + 1), column = tx % (kLarge.width + 1);
                if (column < kLarge.width && kLarge.ink(kText[letter], column, ty)) colour = ink;
            }
            image.setPixel(x, y, qRgba(qRed(colour), qGreen(colour), qBlue(colour), alpha));
        }
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-assets DIR\n");
        return 2;
    }
    const fs::path root(argv[1]);
    const fs::path qva = root / "QVA";
    const fs::path uploads = root / "var" / "www" / "uploads";
    for (const fs::path& dir : {qva, uploads}) {
        std::error_code error;
        fs::create_directories(dir, error);
        if (error) fail("cannot create " + dir.string() + ": " + error.message());
    }

    writeBytes(qva / "numbersSD.dat", digitFont(14, 18));
    writeBytes(qva / "numbersHD.dat", digitFont(21, 27));

    // Large font: 8 x 9 cells, the design one pixel in from the top left.
    const QImage large = fontStrip(kLarge, 8, 9, 1, 1);
    writePng(qva / "ascii3.png", large);
    QImage inverted = large;
    inverted.invertPixels();
    writePng(qva / "ascii2.png", inverted);
    // Small font: 6 x 7 cells, the 5-wide design against the left edge one row
    // down, so the sixth column is always the letter spacing.
    writePng(qva / "ascii_small_white.png", fontStrip(kSmall, 6, 7, 0, 1));

    writePng(uploads / "logo.png", logo());
    return 0;
}
