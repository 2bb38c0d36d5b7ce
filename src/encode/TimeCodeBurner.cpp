#include "encode/TimeCodeBurner.h"

#include "capture/DeckLinkAPI.h"
#include "encode/EncoderMode.h"
#include "platform/SandboxRoot.h"

#include <QImage>

#include <emmintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr int kGlyphs = 11;     // digits 0-9, then the separator
constexpr int kSeparator = 10;
constexpr uint8_t kNeutralChroma = 127;

struct Font {
    const uint8_t* bytes;
    int glyphWidth;
    int glyphHeight;
    int rowLength() const { return glyphWidth * kGlyphs; }
};

// Whatever the file holds, up to size bytes; the rest stays zero, which draws
// black glyphs rather than failing the recording.
qva::AlignedBuffer<uint8_t> readFont(const std::string& path, size_t size) {
    qva::AlignedBuffer<uint8_t> font = qva::allocateAligned<uint8_t>(size);
    if (!font) return font;
    std::memset(font.get(), 0, size);
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        (void)std::fread(font.get(), 1, size, file);
        std::fclose(file);
    }
    return font;
}

// The time code of a corrupt frame may carry components of 100 or more; they
// are drawn as 99 so the text keeps its layout and never indexes past glyph 9.
void addPair(int* glyphs, unsigned int value) {
    value = std::min(value, 99u);
    glyphs[0] = int(value / 10);
    glyphs[1] = int(value % 10);
}

}  // namespace

std::optional<TimecodeLayout> timecodeLayoutFor(unsigned int mode) {
    switch (mode) {
        case kModePal: return TimecodeLayout{false, 1440, 283, 24, 534};
        case kModeNtsc: return TimecodeLayout{false, 1440, 283, 24, 438};
        case kModeHp50:
        case kModeHp59: return TimecodeLayout{true, 2560, 525, 40, 660};
        case kModeHi50:
        case kModeHi59: return TimecodeLayout{true, 3840, 845, 54, 1018};
        default: return std::nullopt;
    }
}

TimeCodeBurner::TimeCodeBurner()
    : TimeCodeBurner(Paths{qva::resolvePath("/QVA/numbersSD.dat"), qva::resolvePath("/QVA/numbersHD.dat"),
                           qva::resolvePath("/var/www/uploads/logo.png")}) {}

TimeCodeBurner::TimeCodeBurner(Paths paths)
    : paths_(std::move(paths)),
      sdFont_(readFont(paths_.sdFont, kSdFontBytes)),
      hdFont_(readFont(paths_.hdFont, kHdFontBytes)) {}

TimeCodeBurner::TimeCodeBurner(int width, int height) : TimeCodeBurner() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        width_ = width;
        height_ = height;
    }
    loadPNG();
}

void TimeCodeBurner::setDimensions(int width, int height) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        width_ = width;
        height_ = height;
    }
    std::printf("setting dimensions : %d x %d\n", width, height);
    loadPNG();
}

void TimeCodeBurner::loadPNG() {
    int width = 0;
    int height = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        width = width_;
        height = height_;
    }
    std::unique_ptr<LogoPlanes> planes = makePlanes(paths_.logo, width, height);
    {
        std::lock_guard<std::mutex> guard(lock_);
        // A reload for a size set since then finishes on its own; these would be stale.
        if (width == width_ && height == height_) std::swap(logo_, planes);
    }
    // planes now holds the old logo, released here outside the lock.
}

std::unique_ptr<TimeCodeBurner::LogoPlanes> TimeCodeBurner::makePlanes(const std::string& path, int width,
                                                                       int height) {
    if (width <= 0 || height <= 0) return nullptr;
    const QImage source(QString::fromStdString(path));
    if (source.isNull()) return nullptr;

    // Stretched by nearest pixel here and converted one source row at a time: Qt hands
    // the conversion and scaling of large pictures to its own thread pool, a hand-over the
    // thread checker cannot see in the uninstrumented library and reports as races.
    const long long sourceWidth = source.width(), sourceHeight = source.height();
    std::vector<int> columns(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x) columns[size_t(x)] = int((2 * x + 1) * sourceWidth / (2LL * width));
    std::vector<QImage> sourceRows(static_cast<size_t>(height));
    std::vector<const QRgb*> rows(static_cast<size_t>(height));
    for (int y = 0, last = -1; y < height; ++y) {
        const int sourceY = int((2 * y + 1) * sourceHeight / (2LL * height));
        sourceRows[size_t(y)] = sourceY == last ? sourceRows[size_t(y) - 1]
                                                : source.copy(0, sourceY, source.width(), 1)
                                                      .convertToFormat(QImage::Format_ARGB32);
        if (sourceRows[size_t(y)].isNull()) return nullptr;
        rows[size_t(y)] = reinterpret_cast<const QRgb*>(sourceRows[size_t(y)].constScanLine(0));
        last = sourceY;
    }

    auto planes = std::make_unique<LogoPlanes>();
    planes->width = width;
    planes->height = height;
    const size_t bytes = planes->bytes();
    planes->picture = qva::allocateAligned<uint8_t>(bytes);
    planes->alpha = qva::allocateAligned<uint8_t>(bytes);
    planes->inverseAlpha = qva::allocateAligned<uint8_t>(bytes);
    if (!planes->picture || !planes->alpha || !planes->inverseAlpha) return nullptr;

    const size_t pixels = size_t(width) * size_t(height);
    auto pixel = [&](size_t i) { return rows[i / size_t(width)][columns[i % size_t(width)]]; };
    auto luma = [](QRgb p) {
        return uint8_t(0.257 * qRed(p) + 0.504 * qGreen(p) + 0.098 * qBlue(p) + 16);
    };

    uint8_t* picture = planes->picture.get();
    uint8_t* alpha = planes->alpha.get();
    uint8_t* inverse = planes->inverseAlpha.get();
    // Pixels are paired in picture order; an odd last pixel gets U and Y only.
    for (size_t i = 0, out = 0; i < pixels; i += 2, out += 4) {
        const QRgb p0 = pixel(i);
        const double r = qRed(p0), g = qGreen(p0), b = qBlue(p0);
        const uint8_t a0 = uint8_t(qAlpha(p0));
        picture[out] = uint8_t(0.439 * b - 0.291 * g - 0.148 * r + 128);
        picture[out + 1] = luma(p0);
        alpha[out] = alpha[out + 1] = a0;
        inverse[out] = inverse[out + 1] = uint8_t(255 - a0);
        if (i + 1 == pixels) break;
        const QRgb p1 = pixel(i + 1);
        const uint8_t a1 = uint8_t(qAlpha(p1));
        picture[out + 2] = uint8_t(0.439 * r - 0.368 * g - 0.071 * b + 128);
        picture[out + 3] = luma(p1);
        alpha[out + 2] = a0;
        alpha[out + 3] = a1;
        inverse[out + 2] = uint8_t(255 - a0);
        inverse[out + 3] = uint8_t(255 - a1);
    }
    return planes;
}

void TimeCodeBurner::BurnTimeCodeToFrame(unsigned int mode, videoPackage* frame, int position) {
    const std::optional<TimecodeLayout> found = timecodeLayoutFor(mode);
    if (frame == nullptr || !frame->buffer || !found) return;
    const TimecodeLayout& layout = *found;
    const Font font = layout.hd ? Font{hdFont_.get(), 21, 27} : Font{sdFont_.get(), 14, 18};
    if (font.bytes == nullptr) return;

    int glyphs[kGlyphs];
    addPair(glyphs, frame->hours);
    glyphs[2] = kSeparator;
    addPair(glyphs + 3, frame->minutes);
    glyphs[5] = kSeparator;
    addPair(glyphs + 6, frame->seconds);
    glyphs[8] = kSeparator;
    addPair(glyphs + 9, frame->frames);

    const size_t startLine = size_t(position == 2 ? layout.bottomLine : layout.topLine);
    const size_t cellBytes = size_t(2 * font.glyphWidth);
    const size_t firstByte = size_t(2 * layout.x);
    const size_t lastWritten = (startLine + size_t(font.glyphHeight) - 1) * layout.lineBytes + firstByte +
                               cellBytes * kGlyphs - 1;
    if (lastWritten >= frame->size) return;

    for (int r = 0; r < font.glyphHeight; ++r) {
        uint8_t* line = frame->buffer.get() + (startLine + size_t(r)) * layout.lineBytes + firstByte;
        const uint8_t* fontRow = font.bytes + size_t(r) * size_t(font.rowLength());
        for (int k = 0; k < kGlyphs; ++k) {
            uint8_t* cell = line + cellBytes * size_t(k);
            const uint8_t* glyph = fontRow + size_t(glyphs[k]) * size_t(font.glyphWidth);
            for (size_t j = 0; j < cellBytes; j += 2) {
                cell[j] = kNeutralChroma;
                cell[j + 1] = glyph[j / 2];
            }
        }
    }
}

void TimeCodeBurner::BurnLogo(unsigned int mode, videoPackage* frame) {
    if (frame == nullptr || !frame->buffer) return;
    const EncoderMode picture = encoderModeFor(mode);
    std::lock_guard<std::mutex> guard(lock_);
    // Planes of another size (a reload that failed, or one not yet done after
    // a mode change) must never be laid over this picture.
    if (!logo_ || logo_->width != picture.width || logo_->height != picture.height) return;
    if (frame->size < logo_->bytes()) return;
    blendLogo(frame->buffer.get(), logo_->picture.get(), logo_->alpha.get(), logo_->inverseAlpha.get(),
              logo_->bytes());
}

void blendLogo(uint8_t* frame, const uint8_t* logo, const uint8_t* alpha, const uint8_t* inverseAlpha,
               size_t bytes) {
    // b * (255 - a) + l * a stays within 255 * 255, so 16-bit lanes never overflow.
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(frame + i));
        const __m128i l = _mm_load_si128(reinterpret_cast<const __m128i*>(logo + i));
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(alpha + i));
        const __m128i ia = _mm_load_si128(reinterpret_cast<const __m128i*>(inverseAlpha + i));
        const __m128i low = _mm_srli_epi16(
            _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(ia, zero)),
                          _mm_mullo_epi16(_mm_unpacklo_epi8(l, zero), _mm_unpacklo_epi8(a, zero))),
            8);
        const __m128i high = _mm_srli_epi16(
            _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(ia, zero)),
                          _mm_mullo_epi16(_mm_unpackhi_epi8(l, zero), _mm_unpackhi_epi8(a, zero))),
            8);
        _mm_store_si128(reinterpret_cast<__m128i*>(frame + i), _mm_packus_epi16(low, high));
    }
    for (; i < bytes; ++i) {
        frame[i] = uint8_t((unsigned(frame[i]) * inverseAlpha[i] + unsigned(logo[i]) * alpha[i]) >> 8);
    }
}
