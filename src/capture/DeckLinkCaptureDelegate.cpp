#include "capture/DeckLinkCaptureDelegate.h"

#include "capture/AudioPair.h"
#include "capture/VideoQueue.h"

#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

constexpr int kLevelSampleLimit = 400;  // samples: the first 50 sample frames

// A full-scale negative sample is as loud as it gets: 32767, never -32768.
int32_t magnitude(int16_t sample) {
    const int32_t value = std::abs(int32_t(sample));
    return value > 32767 ? 32767 : value;
}

}  // namespace

uint8_t previewComponent(double value) {
    const float narrowed = static_cast<float>(value);
    if (narrowed < 0.0f) return 0;
    if (narrowed > 255.0f) return 255;
    return static_cast<uint8_t>(narrowed);
}

QImage renderPreviewImage(const uint8_t* bytes, size_t size, long width, long height) {
    const long w = width / 8;
    const long h = height / 8;
    if (w <= 0 || h <= 0) return {};
    const size_t rowStride = size_t(16 * w + 14 * width);
    if (size_t(h - 1) * rowStride + size_t(16 * (w - 1)) + 3 > size) return {};

    QImage image(int(w), int(h), QImage::Format_RGB888);
    for (long r = 0; r < h; ++r) {
        const uint8_t* source = bytes + size_t(r) * rowStride;
        uint8_t* out = image.scanLine(int(r));
        for (long c = 0; c < w; ++c, source += 16) {
            const double u = source[0] - 128.0;
            const double y = 1.164 * (source[1] - 16.0);
            const double v = source[2] - 128.0;
            *out++ = previewComponent(y + 1.596 * v);
            *out++ = previewComponent(y - 0.813 * v - 0.391 * u);
            *out++ = previewComponent(y + 2.018 * u);
        }
    }
    return image;
}

DeckLinkCaptureDelegate::DeckLinkCaptureDelegate(VideoQueue* queue, QImage* preview,
                                                 QMutex* previewLock,
                                                 std::atomic<int16_t>* leftLevel,
                                                 std::atomic<int16_t>* rightLevel,
                                                 std::atomic<bool>* audioOnly,
                                                 IDeckLinkInput* input,
                                                 std::atomic<int8_t>* audioPair)
    : queue_(queue),
      input_(input),
      audioPair_(audioPair),
      audioOnly_(audioOnly),
      previewLock_(previewLock),
      preview_(preview),
      leftLevel_(leftLevel),
      rightLevel_(rightLevel) {
    std::fputs("Started Decklink\n", stderr);
}

DeckLinkCaptureDelegate::~DeckLinkCaptureDelegate() {
    std::fputs("Tar bort capture delegate\n", stderr);
}

HRESULT DeckLinkCaptureDelegate::QueryInterface(REFIID, void** out) {
    if (out != nullptr) *out = nullptr;
    return E_NOINTERFACE;
}

ULONG DeckLinkCaptureDelegate::AddRef() {
    std::lock_guard guard(refLock_);
    return ULONG(++refCount_);
}

ULONG DeckLinkCaptureDelegate::Release() {
    uint64_t count = 0;
    {
        std::lock_guard guard(refLock_);
        count = --refCount_;
    }
    if (count == 0) delete this;
    return ULONG(count);
}

HRESULT DeckLinkCaptureDelegate::VideoInputFormatChanged(BMDVideoInputFormatChangedEvents,
                                                         IDeckLinkDisplayMode*,
                                                         BMDDetectedVideoInputFormatFlags) {
    return S_OK;
}

HRESULT DeckLinkCaptureDelegate::VideoInputFrameArrived(IDeckLinkVideoInputFrame* video,
                                                        IDeckLinkAudioInputPacket* audio) {
    // Held for the whole callback, whichever way it returns.
    struct Retained {
        IUnknown* object;
        explicit Retained(IUnknown* o) : object(o) {
            if (object != nullptr) object->AddRef();
        }
        ~Retained() {
            if (object != nullptr) object->Release();
        }
    } keepVideo(video), keepAudio(audio);

    const bool noSignal = video != nullptr && (video->GetFlags() & kFrameHasNoInputSource) != 0;
    if (noSignal && !noInputSignal_) {
        noInputSignal_ = true;
        std::fputs("No Input detected!\n", stderr);
    }

    if (video != nullptr && audio != nullptr) {
        if ((flushPending_ || noInputSignal_) && !noSignal) {
            // The first good frame after start-up, a lost signal or an empty
            // callback is discarded, and the card's backlog with it.
            std::fputs("Flushing stream\n", stderr);
            input_->FlushStreams();
            flushPending_ = false;
            noInputSignal_ = false;
            return S_OK;
        }
        queue_->putVideoFrame(video);
        queue_->putAudioFrame(audio);
        measureLevels(audio);
    } else if (flushPending_) {
        return S_OK;
    } else if (audio == nullptr) {
        std::fputs("NO AUDIO\n", stderr);
    } else {
        if (audioOnly_->load(std::memory_order_relaxed)) queue_->putAudioFrame(audio);
        measureLevels(audio);
    }

    renderPreview(video);
    if (video == nullptr && audio == nullptr) {
        std::fputs("No audio or video\n", stderr);
        flushPending_ = true;
    }
    return S_OK;
}

void DeckLinkCaptureDelegate::measureLevels(IDeckLinkAudioInputPacket* audio) {
    void* bytes = nullptr;
    const long frames = audio->GetSampleFrameCount();
    const bool readable = audio->GetBytes(&bytes) == S_OK && bytes != nullptr && frames > 0;
    const auto* samples = static_cast<const int16_t*>(bytes);
    const long n = readable ? frames * long(kCapturedAudioChannels) : 0;
    const int pair = validAudioPair(audioPair_->load(std::memory_order_relaxed));

    int32_t left = 0;
    int32_t right = 0;
    for (long i = 0; i < kLevelSampleLimit && i < n - 1; i += long(kCapturedAudioChannels)) {
        const long k = i + 2 * pair;
        if (k + 1 < n) {
            if (magnitude(samples[k]) > left) left = magnitude(samples[k]);
            if (magnitude(samples[k + 1]) > right) right = magnitude(samples[k + 1]);
        } else {
            std::fputs("error i capture delegate ljud\n", stderr);
        }
    }
    leftLevel_->store(int16_t(left), std::memory_order_relaxed);
    rightLevel_->store(int16_t(right), std::memory_order_relaxed);
}

void DeckLinkCaptureDelegate::renderPreview(IDeckLinkVideoInputFrame* video) {
    if (video == nullptr) return;
    void* bytes = nullptr;
    if (video->GetBytes(&bytes) != S_OK || bytes == nullptr) return;
    const size_t size = size_t(video->GetRowBytes()) * size_t(video->GetHeight());
    // Rendered outside the lock; the lock covers the replacement alone.
    QImage image = renderPreviewImage(static_cast<const uint8_t*>(bytes), size, video->GetWidth(),
                                      video->GetHeight());
    if (image.isNull()) return;
    QMutexLocker guard(previewLock_);
    std::swap(*preview_, image);
}
