// The simulated card's state and its capture thread, behind the input and
// configuration objects.
#pragma once

#include "SimMedia.h"
#include "capture/DeckLinkAPI.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

class Card {
public:
    // The one card of the process. Never destroyed: its thread may still be
    // inside a callback while the process runs its exit handlers.
    static Card& instance();

    const std::string& modelName() const { return model_; }

    HRESULT enableVideo(BMDDisplayMode mode, BMDPixelFormat format);
    HRESULT disableVideo();
    HRESULT enableAudio(BMDAudioSampleRate rate, BMDAudioSampleType type, uint32_t channels);
    HRESULT disableAudio();
    HRESULT start();
    HRESULT stop();
    HRESULT flush();
    HRESULT setCallback(IDeckLinkInputCallback* callback);
    HRESULT setConfig(BMDConfigurationID id, int64_t value);
    HRESULT getConfig(BMDConfigurationID id, int64_t* value);
    HRESULT referenceClock(BMDTimeScale scale, BMDTimeValue* time, BMDTimeValue* timeInFrame,
                           BMDTimeValue* ticksPerFrame);

    // The product dropped its last reference to the input: stop and let go
    // of the callback, as closing the real input does.
    void inputReleased();

private:
    using Clock = std::chrono::steady_clock;
    using CallbackPtr = std::shared_ptr<IDeckLinkInputCallback>;

    // What EnableVideoInput, EnableAudioInput and SetInt chose; StartStreams
    // latches a copy for the stream it starts.
    struct Settings {
        const ModeInfo* video = nullptr;
        bool audio = false;
        int64_t conversion = kConversionNone;
        int64_t audioConnection = kAudioConnectionEmbedded;
        int64_t videoConnection = kVideoConnectionSDI;
    };

    class Stream;

    Card();
    void run();
    bool refusedByFile(BMDDisplayMode mode) const;
    void writeStateFile(const std::string& text, uint64_t starts);

    const std::string root_;  // QVA_ROOT, read once
    const std::string model_;
    const bool fast_;

    std::mutex mutex_;
    std::condition_variable wake_;  // the card thread: start, stop, flush
    std::condition_variable idle_;  // StopStreams: the running callback returned
    Settings settings_;
    Settings latched_;              // of the last StartStreams
    Clock::time_point startedAt_;
    bool streaming_ = false;
    uint64_t generation_ = 0;       // bumped by each start and stop
    uint64_t flushes_ = 0;
    uint64_t starts_ = 0;
    CallbackPtr callback_;
    bool threadStarted_ = false;
    std::thread::id cardThread_;
    bool inCallback_ = false;
    uint64_t callbacksDone_ = 0;

    std::mutex fileMutex_;  // orders state-file writers, kept apart from mutex_
    uint64_t startsWritten_ = 0;
};

}  // namespace sim
