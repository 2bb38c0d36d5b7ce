#include "panel/QVAPainter.h"

#include "platform/SandboxRoot.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kPixelBytes = 3;  // Format_RGB888, for the fonts and the screen
constexpr int kFirstChar = 32;  // the strips start at the space
constexpr int kLargeW = 8, kLargeH = 9, kSmallW = 6, kSmallH = 7;
constexpr int kIcon = 7;

// A missing or unreadable file gives an empty image, which then draws nothing.
QImage loadFont(const std::string& path) {
    QImage image(QString::fromStdString(path));
    if (image.isNull()) return {};
    return image.convertToFormat(QImage::Format_RGB888);
}

bool drawable(const QImage* image) {
    return image != nullptr && !image->isNull() && image->format() == QImage::Format_RGB888;
}

// Copies a w x h block of pixels (rows stride bytes apart) to (x, y), cut at
// the image edges. 64-bit positions so a pen far off the image cannot overflow.
void copyClipped(QImage* image, int64_t x, int64_t y, const uchar* src, qsizetype stride, int w,
                 int h) {
    const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(x + w, image->width());
    const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(y + h, image->height());
    if (x0 >= x1 || y0 >= y1) return;
    const size_t bytes = size_t(x1 - x0) * kPixelBytes;
    const uchar* from = src + (y0 - y) * stride + (x0 - x) * kPixelBytes;
    uchar* to = image->bits() + y0 * image->bytesPerLine() + x0 * kPixelBytes;
    for (int64_t row = y0; row < y1; ++row, from += stride, to += image->bytesPerLine())
        std::memcpy(to, from, bytes);
}

void drawGlyphs(const char* text, QImage* image, int x, int y, const QImage& font, int cellW,
                int cellH) {
    if (font.isNull()) return;
    const int glyphs = font.width() / cellW;
    const int rows = std::min(cellH, font.height());  // never read below a short strip
    int64_t pen = x;
    for (const char* p = text; *p != 0 && pen < image->width(); ++p, pen += cellW) {
        // Codes without a glyph leave the cell as it was; the pen still moves
        // so the rest of the line stays in its columns.
        const int index = int(static_cast<unsigned char>(*p)) - kFirstChar;
        if (index < 0 || index >= glyphs) continue;
        copyClipped(image, pen, y, font.constScanLine(0) + index * cellW * kPixelBytes,
                    font.bytesPerLine(), cellW, rows);
    }
}

// Black 7x7 square with the given white pixels, one bit per column in each row.
void drawIcon(QImage* image, int x, int y, const uint8_t (&rows)[kIcon]) {
    if (!drawable(image)) return;
    uchar pixels[kIcon][kIcon * kPixelBytes] = {};
    for (int r = 0; r < kIcon; ++r)
        for (int c = 0; c < kIcon; ++c)
            if (rows[r] & (1u << c)) std::memset(&pixels[r][c * kPixelBytes], 0xFF, kPixelBytes);
    copyClipped(image, x, y, &pixels[0][0], sizeof pixels[0], kIcon, kIcon);
}

}  // namespace

QVAPainter::QVAPainter()
    : QVAPainter(Fonts{qva::resolvePath("/QVA/ascii2.png"), qva::resolvePath("/QVA/ascii3.png"),
                       qva::resolvePath("/QVA/ascii_small_white.png")}) {}

QVAPainter::QVAPainter(const Fonts& fonts)
    : largeInvertedFont_(loadFont(fonts.largeInverted)),
      largeFont_(loadFont(fonts.large)),
      smallFont_(loadFont(fonts.small)) {}

void QVAPainter::DrawText(const char* text, QImage* image, int x, int y, bool inverted, bool big) {
    if (text == nullptr || *text == 0 || !drawable(image)) return;
    if (big) {
        drawGlyphs(text, image, x, y, inverted ? largeInvertedFont_ : largeFont_, kLargeW, kLargeH);
        return;
    }
    if (!inverted) {
        drawGlyphs(text, image, x, y, smallFont_, kSmallW, kSmallH);
        return;
    }
    // The inverted copy is made per call (about 12 KB for the small strip), so
    // the painter stays free of mutable state and concurrent callers share nothing.
    QImage invertedFont = smallFont_.copy();
    invertedFont.invertPixels(QImage::InvertRgb);
    drawGlyphs(text, image, x, y, invertedFont, kSmallW, kSmallH);
}

void QVAPainter::DrawBox(QImage* image, int x, int y, int w, int h, char value) {
    if (!drawable(image) || x < 0 || y < 0 || w <= 0 || h <= 0) return;
    if (int64_t(x) + w > image->width() || int64_t(y) + h > image->height()) return;
    const qsizetype stride = image->bytesPerLine();
    uchar* row = image->bits() + qsizetype(y) * stride + qsizetype(x) * kPixelBytes;
    for (int r = 0; r < h; ++r, row += stride)
        std::memset(row, static_cast<unsigned char>(value), size_t(w) * kPixelBytes);
}

void QVAPainter::CopyQImage(QImage* destination, const QImage* source, int x, int y) {
    if (destination == nullptr || source == nullptr || source == destination ||
        source->isNull() || destination->isNull())
        return;
    // Sub-byte formats cannot be placed at an arbitrary column by byte copies.
    if (source->format() != destination->format() || source->depth() % 8 != 0) return;
    if (x < 0 || y < 0 || int64_t(x) + source->width() > destination->width() ||
        int64_t(y) + source->height() > destination->height())
        return;
    const qsizetype pixelBytes = source->depth() / 8;
    const size_t bytes = size_t(source->width()) * pixelBytes;
    for (int r = 0; r < source->height(); ++r)
        std::memcpy(destination->scanLine(y + r) + x * pixelBytes, source->constScanLine(r), bytes);
}

void QVAPainter::DrawRight(QImage* image, int x, int y) {
    static constexpr uint8_t tick[kIcon] = {0, 1 << 5, 1 << 5, 1 << 1 | 1 << 4, 1 << 2 | 1 << 4,
                                            1 << 3, 0};
    drawIcon(image, x, y, tick);
}

void QVAPainter::DrawError(QImage* image, int x, int y) {
    static constexpr uint8_t cross[kIcon] = {0,      1 << 1 | 1 << 5, 1 << 2 | 1 << 4,
                                             1 << 3, 1 << 2 | 1 << 4, 1 << 1 | 1 << 5, 0};
    drawIcon(image, x, y, cross);
}
