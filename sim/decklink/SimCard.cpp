#include "SimCard.h"

#include "capture/DeckLinkRef.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace sim {

namespace {

std::string envOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// As the recorder reads it: trailing slashes dropped, "/" meaning the box itself.
std::string sandboxRoot() {
    std::string root = envOr("QVA_ROOT", "");
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

std::string fourCCText(int64_t code) {
    const auto c = uint32_t(code);
    return {char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
}

}  // namespace

// One run of the streams, from a StartStreams to the next stop or start.
// Used by the card thread alone.
class Card::Stream {
public:
    Stream(const Settings& settings, Clock::time_point start, const std::string& root)
        : video_(*settings.video),
          audio_(settings.audio),
          noSignalPath_(root + "/sim/no-signal"),
          base_(start) {
        // Down-converting from 720p, the card runs at the 720p rate and has
        // an SD picture for every second callback.
        if (settings.conversion == kConversionDown720Anamorphic) {
            if (video_.mode == kModePal) tickMode_ = findMode(kModeHp50);
            if (video_.mode == kModeNtsc) tickMode_ = findMode(kModeHp59);
        }
        downConverting_ = tickMode_ != &video_;
    }

    // Absolute deadlines from a fixed base, so rounding never accumulates.
    Clock::time_point nextDue() const {
        return base_ + std::chrono::nanoseconds(ticksOf(tick_ - baseTick_ + 1, tickMode_->rate, 1000000000));
    }

    void rebase(Clock::time_point now) {
        base_ = now;
        baseTick_ = tick_;
    }

    void deliverNext(IDeckLinkInputCallback* callback) {
        const bool videoTick = !downConverting_ || tick_ % 2 == 0;
        const long samples = audio_ ? samplesForTick(tickMode_->rate, tick_) : 0;
        // Without audio, the in-between ticks of a down-conversion have
        // nothing to deliver. Counters run on either way.
        if (callback != nullptr && (videoTick || audio_)) {
            const bool noSignal = ::access(noSignalPath_.c_str(), F_OK) == 0;
            const uint64_t frameNumber = downConverting_ ? tick_ / 2 : tick_;
            DeckLinkRef<VideoFrame> frame(videoTick ? new VideoFrame(video_, video_.rate, frameNumber, noSignal)
                                                    : nullptr);
            DeckLinkRef<AudioPacket> packet(audio_ ? new AudioPacket(samples, sample_, noSignal)
                                                   : nullptr);
            callback->VideoInputFrameArrived(frame.get(), packet.get());
        }
        ++tick_;
        sample_ += uint64_t(samples);
    }

private:
    const ModeInfo& video_;
    const ModeInfo* tickMode_ = &video_;  // whose rate paces the callbacks
    bool downConverting_ = false;
    const bool audio_;
    const std::string noSignalPath_;
    Clock::time_point base_;
    uint64_t baseTick_ = 0;
    uint64_t tick_ = 0;    // callbacks so far
    uint64_t sample_ = 0;  // audio sample frames so far
};

Card& Card::instance() {
    static Card* const card = new Card;
    return *card;
}

Card::Card()
    : root_(sandboxRoot()),
      model_(envOr("QVA_SIM_MODEL", "DeckLink Studio 4K")),
      fast_(envOr("QVA_SIM_PACE", "") == "fast") {}

void Card::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return streaming_; });
        const uint64_t generation = generation_;
        uint64_t flushes = flushes_;
        Stream stream(latched_, startedAt_, root_);
        while (generation_ == generation) {
            if (!fast_) {
                // wait_until releases the lock while it sleeps.
                const bool woken = wake_.wait_until(lock, stream.nextDue(), [&] {
                    return generation_ != generation || flushes_ != flushes;
                });
                if (generation_ != generation) break;
                if (woken) {
                    // Nothing is queued to drop; the next frame just comes a
                    // whole period from now.
                    flushes = flushes_;
                    stream.rebase(Clock::now());
                    continue;
                }
            }
            inCallback_ = true;
            CallbackPtr callback = callback_;
            lock.unlock();
            stream.deliverNext(callback.get());
            callback.reset();  // may be the last reference: Release outside the lock
            lock.lock();
            inCallback_ = false;
            ++callbacksDone_;
            idle_.notify_all();
        }
    }
}

HRESULT Card::enableVideo(BMDDisplayMode mode, BMDPixelFormat format) {
    const ModeInfo* info = findMode(mode);
    if (info == nullptr || format != kPixelFormat8BitYUV || refusedByFile(mode)) return E_FAIL;
    std::lock_guard lock(mutex_);
    if (streaming_) return E_FAIL;
    settings_.video = info;
    return S_OK;
}

HRESULT Card::disableVideo() {
    std::lock_guard lock(mutex_);
    settings_.video = nullptr;
    return S_OK;
}

HRESULT Card::enableAudio(BMDAudioSampleRate rate, BMDAudioSampleType type, uint32_t channels) {
    if (rate != kAudioSampleRate48kHz || type != kAudioSampleType16bit ||
        channels != kCapturedAudioChannels)
        return E_FAIL;
    std::lock_guard lock(mutex_);
    if (streaming_) return E_FAIL;
    settings_.audio = true;
    return S_OK;
}

HRESULT Card::disableAudio() {
    std::lock_guard lock(mutex_);
    settings_.audio = false;
    return S_OK;
}

HRESULT Card::start() {
    std::string state;
    uint64_t starts = 0;
    {
        std::lock_guard lock(mutex_);
        if (streaming_ || settings_.video == nullptr) return E_FAIL;
        if (!threadStarted_) {
            // One thread for the life of the process, never joined, so it
            // cannot hold up exit.
            try {
                std::thread thread([this] { run(); });
                cardThread_ = thread.get_id();
                thread.detach();
            } catch (const std::system_error&) {
                return E_FAIL;
            }
            threadStarted_ = true;
        }
        latched_ = settings_;
        startedAt_ = Clock::now();
        streaming_ = true;
        ++generation_;
        starts = ++starts_;
        state = "mode '" + fourCCText(latched_.video->mode) + "'\nconversion '" +
                fourCCText(latched_.conversion) + "'\naudio '" +
                fourCCText(latched_.audioConnection) + "'\nvideo " +
                std::to_string(latched_.videoConnection) + "\nstarts " + std::to_string(starts) +
                "\n";
    }
    wake_.notify_all();
    writeStateFile(state, starts);
    return S_OK;
}

HRESULT Card::stop() {
    std::unique_lock lock(mutex_);
    if (streaming_) {
        streaming_ = false;
        ++generation_;
        wake_.notify_all();
    }
    // On the card's own thread the callback in progress is our caller.
    if (inCallback_ && std::this_thread::get_id() != cardThread_) {
        const uint64_t done = callbacksDone_;
        idle_.wait(lock, [&] { return callbacksDone_ != done; });
    }
    return S_OK;
}

HRESULT Card::flush() {
    {
        std::lock_guard lock(mutex_);
        ++flushes_;
    }
    wake_.notify_all();
    return S_OK;
}

HRESULT Card::setCallback(IDeckLinkInputCallback* callback) {
    CallbackPtr next;
    if (callback != nullptr) {
        callback->AddRef();
        next.reset(callback, [](IDeckLinkInputCallback* c) { c->Release(); });
    }
    {
        std::lock_guard lock(mutex_);
        callback_.swap(next);
    }
    return S_OK;  // the old callback is released here, outside the lock
}

HRESULT Card::setConfig(BMDConfigurationID id, int64_t value) {
    std::lock_guard lock(mutex_);
    switch (id) {
        case kConfigVideoInputConversionMode:
            if (value != kConversionNone && value != kConversionDown1080Anamorphic &&
                value != kConversionDown720Anamorphic)
                return E_FAIL;
            settings_.conversion = value;
            return S_OK;
        case kConfigAudioInputConnection:
            if (value != kAudioConnectionEmbedded && value != kAudioConnectionAESEBU &&
                value != kAudioConnectionAnalog)
                return E_FAIL;
            settings_.audioConnection = value;
            return S_OK;
        case kConfigVideoInputConnection:
            if (value != kVideoConnectionSDI && value != kVideoConnectionComposite) return E_FAIL;
            settings_.videoConnection = value;
            return S_OK;
        default:
            return E_FAIL;
    }
}

HRESULT Card::getConfig(BMDConfigurationID id, int64_t* value) {
    if (value == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    switch (id) {
        case kConfigVideoInputConversionMode: *value = settings_.conversion; return S_OK;
        case kConfigAudioInputConnection: *value = settings_.audioConnection; return S_OK;
        case kConfigVideoInputConnection: *value = settings_.videoConnection; return S_OK;
        default: return E_INVALIDARG;
    }
}

HRESULT Card::referenceClock(BMDTimeScale scale, BMDTimeValue* time, BMDTimeValue* timeInFrame,
                             BMDTimeValue* ticksPerFrame) {
    if (time == nullptr || timeInFrame == nullptr || ticksPerFrame == nullptr) return E_POINTER;
    if (scale <= 0) return E_INVALIDARG;
    Rate rate{0, 1};
    {
        std::lock_guard lock(mutex_);
        if (!streaming_) return E_FAIL;  // the clock runs with the input
        rate = latched_.video->rate;
    }
    *time = ticksOf(uint64_t(referenceNanoseconds()), {1000000000, 1}, scale);
    *ticksPerFrame = ticksOf(1, rate, scale);
    *timeInFrame = *ticksPerFrame > 0 ? *time % *ticksPerFrame : 0;
    return S_OK;
}

void Card::inputReleased() {
    stop();
    setCallback(nullptr);
    std::lock_guard lock(mutex_);
    settings_.video = nullptr;
    settings_.audio = false;
}

// Tests make the card refuse one mode by naming it in $QVA_ROOT/sim/refuse-mode.
bool Card::refusedByFile(BMDDisplayMode mode) const {
    std::ifstream in(root_ + "/sim/refuse-mode", std::ios::binary);
    if (!in) return false;
    char text[4] = {' ', ' ', ' ', ' '};
    in.read(text, sizeof text);
    // "pal\n" means "pal " too: a trailing line end is not part of the name.
    for (std::streamsize n = in.gcount(); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'); --n)
        text[n - 1] = ' ';
    return fourCCText(mode) == std::string(text, sizeof text);
}

// Integration tests read $QVA_ROOT/sim/card to see how the product set up the
// card. Written whole and renamed, so a reader never sees half a file.
void Card::writeStateFile(const std::string& text, uint64_t starts) {
    std::lock_guard lock(fileMutex_);
    if (starts < startsWritten_) return;  // a later start got here first
    startsWritten_ = starts;
    const std::string path = root_ + "/sim/card";
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return;  // no sim folder: nobody is looking
        out << text;
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            return;
        }
    }
    std::rename(temporary.c_str(), path.c_str());
}

}  // namespace sim
