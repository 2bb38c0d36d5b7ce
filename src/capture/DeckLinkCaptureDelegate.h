// What the card calls for every captured frame, on its own thread: detects a
// lost input signal, flushes the card when it returns, queues frames and
// audio, measures the level of the selected pair and renders the LCD preview.
#pragma once

#include "capture/DeckLinkAPI.h"

#include <QImage>
#include <QMutex>

#include <atomic>
#include <cstdint>
#include <mutex>

class VideoQueue;

class DeckLinkCaptureDelegate : public IDeckLinkInputCallback {
public:
    DeckLinkCaptureDelegate(VideoQueue* queue, QImage* preview, QMutex* previewLock,
                            std::atomic<int16_t>* leftLevel, std::atomic<int16_t>* rightLevel,
                            std::atomic<bool>* audioOnly, IDeckLinkInput* input,
                            std::atomic<int8_t>* audioPair);

    HRESULT QueryInterface(REFIID iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;  // ends the object at zero
    HRESULT VideoInputFormatChanged(BMDVideoInputFormatChangedEvents events,
                                    IDeckLinkDisplayMode* mode,
                                    BMDDetectedVideoInputFormatFlags flags) override;
    HRESULT VideoInputFrameArrived(IDeckLinkVideoInputFrame* video,
                                   IDeckLinkAudioInputPacket* audio) override;
    ~DeckLinkCaptureDelegate() override;

private:
    void measureLevels(IDeckLinkAudioInputPacket* audio);
    void renderPreview(IDeckLinkVideoInputFrame* video);

    VideoQueue* queue_;
    std::mutex refLock_;
    uint64_t refCount_ = 0;
    IDeckLinkInput* input_;
    // Callbacks come one at a time on the card's thread: only it touches these.
    bool noInputSignal_ = true;
    bool flushPending_ = false;
    std::atomic<int8_t>* audioPair_;
    std::atomic<bool>* audioOnly_;
    QMutex* previewLock_;
    QImage* preview_;
    std::atomic<int16_t>* leftLevel_;
    std::atomic<int16_t>* rightLevel_;
};

// One preview byte from a colour formula: computed in double, narrowed to
// float, then 0 below 0, 255 above 255, otherwise truncated.
uint8_t previewComponent(double value);

// The 1/8 preview of a UYVY frame: w = width/8, h = height/8, pixel (c, r)
// from the UYVY group at byte r*(16w + 14*width) + 16c. Null when the frame's
// bytes are too few for it.
QImage renderPreviewImage(const uint8_t* bytes, size_t size, long width, long height);
