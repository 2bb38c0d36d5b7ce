// Draws the frame's time code and a logo into captured UYVY pictures before
// they are encoded.
#pragma once

#include "capture/VideoQueue.h"
#include "platform/AlignedBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Where the time code of a picture of a display mode is drawn.
struct TimecodeLayout {
    bool hd;           // the HD font (glyphs of 21 x 27), else the SD one (14 x 18)
    size_t lineBytes;  // of the picture
    int x;             // first pixel of the text
    int topLine;       // first line at the top (any position but 2)
    int bottomLine;    // first line at the bottom (position 2)
};

// Nothing for a mode that is none of the six.
std::optional<TimecodeLayout> timecodeLayoutFor(unsigned int mode);

class TimeCodeBurner {
public:
    struct Paths {
        std::string sdFont;  // 11 glyphs of 14 x 18, one luma byte per pixel
        std::string hdFont;  // 11 glyphs of 21 x 27
        std::string logo;    // any picture QImage loads, with its alpha
    };
    static constexpr size_t kSdFontBytes = 2772;
    static constexpr size_t kHdFontBytes = 6237;

    TimeCodeBurner();  // the box's files, through the sandbox root
    explicit TimeCodeBurner(Paths paths);
    TimeCodeBurner(int width, int height);
    TimeCodeBurner(const TimeCodeBurner&) = delete;
    TimeCodeBurner& operator=(const TimeCodeBurner&) = delete;

    // Stores the picture size (printing "setting dimensions : %d x %d\n" to
    // standard output) and reloads the logo for it.
    void setDimensions(int width, int height);

    // (Re)loads the logo for the current size. A logo that cannot be loaded
    // drops the planes: pictures are then left as they are.
    void loadPNG();

    // Draws hh:mm:ss:ff of the package; position 2 at the bottom, any other
    // value at the top. Draws nothing for a mode that is none of the six.
    void BurnTimeCodeToFrame(unsigned int mode, videoPackage* frame, int position);

    // Blends the logo over the whole picture, when the loaded planes have the
    // picture's size.
    void BurnLogo(unsigned int mode, videoPackage* frame);

private:
    // The logo converted once per load: UYVY picture, per-byte alpha and
    // inverse alpha, all of width x height x 2 bytes, 16-byte aligned.
    struct LogoPlanes {
        int width = 0;
        int height = 0;
        qva::AlignedBuffer<uint8_t> picture;
        qva::AlignedBuffer<uint8_t> alpha;
        qva::AlignedBuffer<uint8_t> inverseAlpha;
        size_t bytes() const { return size_t(width) * size_t(height) * 2; }
    };
    static std::unique_ptr<LogoPlanes> makePlanes(const std::string& path, int width, int height);

    Paths paths_;
    qva::AlignedBuffer<uint8_t> sdFont_;  // read once; zero-filled when missing or short
    qva::AlignedBuffer<uint8_t> hdFont_;

    std::mutex lock_;  // guards the size and the logo planes
    int width_ = 0;
    int height_ = 0;
    std::unique_ptr<LogoPlanes> logo_;
};

// The per-frame blend, in 16-byte vectors: for each of bytes bytes,
// frame = (frame * inverseAlpha + logo * alpha) >> 8. All four blocks are
// 16-byte aligned; a tail shorter than 16 bytes is blended byte by byte.
void blendLogo(uint8_t* frame, const uint8_t* logo, const uint8_t* alpha,
               const uint8_t* inverseAlpha, size_t bytes);
