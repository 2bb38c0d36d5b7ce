// Draws the front-panel screen: bitmap text in two fonts, filled boxes, the
// tick and cross icons and the preview, by whole-row byte copies into 24-bit
// RGB images. Nothing is ever read or written outside an image: text and
// characters that do not fit are clipped.
#pragma once

#include <QImage>

#include <string>

class QVAPainter {
public:
    struct Fonts {
        std::string largeInverted;  // "/QVA/ascii2.png": 8x9 cells, characters 32 up
        std::string large;          // "/QVA/ascii3.png"
        std::string small;          // "/QVA/ascii_small_white.png": 6x7 cells
    };
    QVAPainter();  // the box's font files, through the sandbox root
    explicit QVAPainter(const Fonts& fonts);

    void DrawText(const char* text, QImage* image, int x, int y, bool inverted, bool big);
    // Sets every byte of the w x h pixels at (x, y) to value (0 black, -1 white);
    // nothing unless the rectangle lies inside the image.
    void DrawBox(QImage* image, int x, int y, int w, int h, char value);
    // The whole source at (x, y); nothing unless the formats match and it fits.
    void CopyQImage(QImage* destination, const QImage* source, int x, int y);
    void DrawRight(QImage* image, int x, int y);  // tick
    void DrawError(QImage* image, int x, int y);  // cross

private:
    QImage largeInvertedFont_;
    QImage largeFont_;
    QImage smallFont_;
};
