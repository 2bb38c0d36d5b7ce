#include "PreviewJpeg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include "encode/FFmpegOwners.h"
#include "platform/Files.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMinInterval = std::chrono::seconds(1);
// The recorder rewrites the file in place, so a read may meet a write half
// done: a picture is taken only when the file was last written at least
// this long before the read began and did not change while it was read.
constexpr std::chrono::milliseconds kSettle{100};
constexpr int kReadAttempts = 3;
// JPEG quantiser (2 best .. 31 worst): a clear picture of some 30-60 KB.
constexpr int kQuality = 5;

using av::CodecContext;
using av::Frame;
using av::Packet;
using av::Scaler;

// The pictures the recorder writes, by their size, and the size each is
// shown at: at most 640 wide, standard definition as the 4:3 picture it is.
struct Mode {
    int width, height;
    int outWidth, outHeight;
    bool hd;
};
constexpr Mode kModes[] = {
    {1920, 1080, 640, 360, true},
    {1280, 720, 640, 360, true},
    {720, 576, 640, 480, false},
    {720, 480, 640, 480, false},
};

const Mode* modeForSize(off_t bytes) {
    for (const Mode& mode : kModes) {
        if (off_t(mode.width) * mode.height * 2 == bytes) return &mode;
    }
    return nullptr;
}

// What identifies one write of the file.
struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec mtime{};
    bool operator==(const Stamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
    }
};

Stamp stampOf(const struct stat& info) { return {info.st_dev, info.st_ino, info.st_size, info.st_mtim}; }

bool readAll(int fd, std::string& into) {
    size_t done = 0;
    while (done < into.size()) {
        const ssize_t got = ::pread(fd, into.data() + done, into.size() - done, off_t(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
}

bool writtenRecently(const timespec& mtime) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - mtime.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - mtime.tv_nsec);
    // A file dated ahead of a clock that was set back is not being written.
    return age >= std::chrono::nanoseconds(0) && age < kSettle;
}

}  // namespace

struct PreviewJpeg::State {
    explicit State(std::string uyvyPath) : path(std::move(uyvyPath)) {}

    const std::string path;

    std::mutex lock;
    std::condition_variable converted;
    bool converting = false;  // one caller converts, the others wait for it
    bool asked = false;
    Clock::time_point lastConversion;
    std::optional<std::string> latest;
    Stamp latestStamp;

    // Only the caller that set converting touches these.
    std::string uyvy;
    const Mode* scalerMode = nullptr;
    Scaler scaler;
    CodecContext encoder;
    Frame picture;
    Packet packet;
    int64_t pts = 0;

    // What a conversion found: a new picture, none, or the same as before.
    struct Outcome {
        bool unchanged = false;
        std::optional<std::string> jpeg;
        Stamp stamp;
    };

    Outcome refresh(const Stamp& previous, bool havePicture) {
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(kSettle);
            qva::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            struct stat before {};
            if (file.get() < 0 || ::fstat(file.get(), &before) != 0) return {};
            const Mode* mode = modeForSize(before.st_size);
            if (mode == nullptr) return {};
            const Stamp stamp = stampOf(before);
            if (havePicture && stamp == previous) return {true, std::nullopt, stamp};
            if (writtenRecently(before.st_mtim)) continue;
            uyvy.resize(size_t(before.st_size));
            struct stat after {};
            if (!readAll(file.get(), uyvy) || ::fstat(file.get(), &after) != 0) return {};
            if (!(stampOf(after) == stamp)) continue;
            return {false, encode(*mode), stamp};
        }
        // Written to all the while: the last picture stands until the next try.
        return {havePicture, std::nullopt, previous};
    }

    bool prepare(const Mode& mode) {
        if (scalerMode == &mode) return true;
        scalerMode = nullptr;
        scaler.reset(sws_getContext(mode.width, mode.height, AV_PIX_FMT_UYVY422, mode.outWidth,
                                    mode.outHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                    nullptr, nullptr));
        if (!scaler) return false;
        // Video range in, the full range JPEG uses out.
        const int* coefficients = sws_getCoefficients(mode.hd ? SWS_CS_ITU709 : SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler.get(), coefficients, 0, sws_getCoefficients(SWS_CS_ITU601),
                                 1, 0, 1 << 16, 1 << 16);

        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        if (codec == nullptr) return false;
        encoder.reset(avcodec_alloc_context3(codec));
        if (!encoder) return false;
        encoder->width = mode.outWidth;
        encoder->height = mode.outHeight;
        encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder->color_range = AVCOL_RANGE_JPEG;
        encoder->time_base = AVRational{1, 1};
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return false;

        picture.reset(av_frame_alloc());
        packet.reset(av_packet_alloc());
        if (!picture || !packet) return false;
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = mode.outWidth;
        picture->height = mode.outHeight;
        picture->color_range = AVCOL_RANGE_JPEG;
        if (av_frame_get_buffer(picture.get(), 0) < 0) return false;
        scalerMode = &mode;
        return true;
    }

    std::optional<std::string> encode(const Mode& mode) {
        if (!prepare(mode)) return std::nullopt;
        if (av_frame_make_writable(picture.get()) < 0) return std::nullopt;
        const uint8_t* source[4] = {reinterpret_cast<const uint8_t*>(uyvy.data()), nullptr, nullptr,
                                    nullptr};
        const int sourceStride[4] = {mode.width * 2, 0, 0, 0};
        sws_scale(scaler.get(), source, sourceStride, 0, mode.height, picture->data,
                  picture->linesize);
        picture->pts = pts++;
        picture->quality = FF_QP2LAMBDA * kQuality;
        if (avcodec_send_frame(encoder.get(), picture.get()) < 0) return std::nullopt;
        // Every picture is a packet of its own, out at once.
        if (avcodec_receive_packet(encoder.get(), packet.get()) < 0) return std::nullopt;
        std::string jpeg(reinterpret_cast<const char*>(packet->data), size_t(packet->size));
        av_packet_unref(packet.get());
        return jpeg;
    }
};

PreviewJpeg::PreviewJpeg(std::string uyvyPath) : state_(std::make_unique<State>(std::move(uyvyPath))) {}

PreviewJpeg::~PreviewJpeg() = default;

std::optional<std::string> PreviewJpeg::jpeg() {
    State& s = *state_;
    std::unique_lock guard(s.lock);
    s.converted.wait(guard, [&s] { return !s.converting; });
    const Clock::time_point now = Clock::now();
    if (s.asked && now - s.lastConversion < kMinInterval) return s.latest;
    s.asked = true;
    s.lastConversion = now;
    s.converting = true;
    const Stamp previous = s.latestStamp;
    const bool havePicture = s.latest.has_value();
    guard.unlock();

    // The file is read and converted without the lock; callers meanwhile
    // wait for this picture rather than get one older than a second.
    State::Outcome outcome;
    try {
        outcome = s.refresh(previous, havePicture);
    } catch (...) {
        guard.lock();
        s.converting = false;
        s.converted.notify_all();
        throw;
    }

    guard.lock();
    if (!outcome.unchanged) s.latest = std::move(outcome.jpeg);
    s.latestStamp = outcome.stamp;
    s.converting = false;
    s.converted.notify_all();
    return s.latest;
}
