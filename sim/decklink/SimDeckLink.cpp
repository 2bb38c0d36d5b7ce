// The simulated capture card, built as "libDeckLinkAPI.so" so the recorder
// loads it exactly as it loads the real card's library.
//
// Environment, read at first use:
//   QVA_ROOT        sandbox root; the card reads and writes files in $QVA_ROOT/sim
//   QVA_SIM_MODEL   model name (default "DeckLink Studio 4K")
//   QVA_SIM_PACE    "fast": no pacing, the next callback follows the last at once
// Files in $QVA_ROOT/sim:
//   no-signal       while it exists, frames are black with kFrameHasNoInputSource
//                   and audio is silent (checked at every frame)
//   refuse-mode     its first four characters name a mode EnableVideoInput refuses
//   card            written at every StartStreams: the settings in use
#include "SimCard.h"
#include "SimMedia.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

// The device, its input and its configuration stand for the hardware: one
// each for the process, never destroyed. Their counts only track the
// references handed out.
template <typename Interface>
class Hardware : public Interface {
public:
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) lastReleased();
        return left;
    }

protected:
    ~Hardware() = default;
    virtual void lastReleased() {}

private:
    std::atomic<ULONG> refs_{0};
};

// What the card answers for the methods the recorder never calls and the
// simulation does not model: nothing written, no object handed out.
template <typename Out>
HRESULT notImplemented(Out** out = nullptr) {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
}

// Answers a query with a referenced interface pointer of the asked type.
template <typename Interface>
HRESULT hand(Interface* object, void** out) {
    object->AddRef();
    *out = object;
    return S_OK;
}

class Configuration;
class Input;
Configuration& configuration();
Input& input();

class Configuration final : public Hardware<IDeckLinkConfiguration> {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override;
    HRESULT SetFlag(BMDConfigurationID, bool) override { return E_NOTIMPL; }
    HRESULT GetFlag(BMDConfigurationID, bool*) override { return E_NOTIMPL; }
    HRESULT SetInt(BMDConfigurationID id, int64_t value) override {
        return Card::instance().setConfig(id, value);
    }
    HRESULT GetInt(BMDConfigurationID id, int64_t* value) override {
        return Card::instance().getConfig(id, value);
    }
    HRESULT SetFloat(BMDConfigurationID, double) override { return E_NOTIMPL; }
    HRESULT GetFloat(BMDConfigurationID, double*) override { return E_NOTIMPL; }
    HRESULT SetString(BMDConfigurationID, const char*) override { return E_NOTIMPL; }
    HRESULT GetString(BMDConfigurationID, const char** value) override { return notImplemented(value); }
    // Nothing outlives the process here, so nothing is stored.
    HRESULT WriteConfigurationToPreferences() override { return E_NOTIMPL; }
};

class Input final : public Hardware<IDeckLinkInput> {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_FAIL;
        if (iid == IID_IDeckLinkInput) return hand<IDeckLinkInput>(this, out);
        if (iid == IID_IDeckLinkConfiguration)
            return hand<IDeckLinkConfiguration>(&configuration(), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Says whether the mode is captured; the display-mode object is not modelled.
    HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat format, BMDVideoInputFlags,
                                 BMDDisplayModeSupport* support,
                                 IDeckLinkDisplayMode** displayMode) override {
        if (displayMode != nullptr) *displayMode = nullptr;
        if (support == nullptr) return E_POINTER;
        *support = findMode(mode) != nullptr && format == kPixelFormat8BitYUV ? 1 : 0;  // supported
        return S_OK;
    }
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) override {
        return notImplemented(iterator);
    }
    HRESULT SetScreenPreviewCallback(IDeckLinkScreenPreviewCallback*) override { return E_NOTIMPL; }
    HRESULT EnableVideoInput(BMDDisplayMode mode, BMDPixelFormat format,
                             BMDVideoInputFlags) override {
        return Card::instance().enableVideo(mode, format);
    }
    HRESULT DisableVideoInput() override { return Card::instance().disableVideo(); }
    // Frames and packets are delivered as they come, never held back.
    HRESULT GetAvailableVideoFrameCount(uint32_t* frames) override { return none(frames); }
    HRESULT SetVideoInputFrameMemoryAllocator(IDeckLinkMemoryAllocator*) override { return E_NOTIMPL; }
    HRESULT EnableAudioInput(BMDAudioSampleRate rate, BMDAudioSampleType type,
                             uint32_t channelCount) override {
        return Card::instance().enableAudio(rate, type, channelCount);
    }
    HRESULT DisableAudioInput() override { return Card::instance().disableAudio(); }
    HRESULT GetAvailableAudioSampleFrameCount(uint32_t* sampleFrames) override { return none(sampleFrames); }
    HRESULT StartStreams() override { return Card::instance().start(); }
    HRESULT StopStreams() override { return Card::instance().stop(); }
    HRESULT PauseStreams() override { return E_NOTIMPL; }
    HRESULT FlushStreams() override { return Card::instance().flush(); }
    HRESULT SetCallback(IDeckLinkInputCallback* callback) override {
        return Card::instance().setCallback(callback);
    }
    HRESULT GetHardwareReferenceClock(BMDTimeScale timeScale, BMDTimeValue* hardwareTime,
                                      BMDTimeValue* timeInFrame, BMDTimeValue* ticksPerFrame) override {
        return Card::instance().referenceClock(timeScale, hardwareTime, timeInFrame, ticksPerFrame);
    }

private:
    static HRESULT none(uint32_t* count) {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    void lastReleased() override { Card::instance().inputReleased(); }
};

HRESULT Configuration::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_FAIL;
    if (iid == IID_IDeckLinkConfiguration) return hand<IDeckLinkConfiguration>(this, out);
    if (iid == IID_IDeckLinkInput) return hand<IDeckLinkInput>(&input(), out);
    *out = nullptr;
    return E_NOINTERFACE;
}

class Device final : public Hardware<IDeckLink> {
public:
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_FAIL;
        if (iid == IID_IDeckLinkInput) return hand<IDeckLinkInput>(&input(), out);
        if (iid == IID_IDeckLinkConfiguration)
            return hand<IDeckLinkConfiguration>(&configuration(), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT GetModelName(const char** name) override { return nameCopy(name); }
    HRESULT GetDisplayName(const char** name) override { return nameCopy(name); }

private:
    static HRESULT nameCopy(const char** name) {
        if (name == nullptr) return E_POINTER;
        *name = strdup(Card::instance().modelName().c_str());  // the caller frees it
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
};

struct Objects {
    Device device;
    Input input;
    Configuration configuration;
};

Objects& objects() {
    static Objects* const all = new Objects;  // never destroyed, like the card
    return *all;
}
Input& input() { return objects().input; }
Configuration& configuration() { return objects().configuration; }

class Iterator final : public RefCounted<IDeckLinkIterator> {
public:
    HRESULT Next(IDeckLink** device) override {
        if (device == nullptr) return E_FAIL;
        *device = nullptr;
        if (done_.exchange(true)) return E_FAIL;  // one card in this box
        IDeckLink* only = &objects().device;
        only->AddRef();
        *device = only;
        return S_OK;
    }

private:
    std::atomic<bool> done_{false};
};

}  // namespace
}  // namespace sim

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

SIM_EXPORT IDeckLinkIterator* CreateDeckLinkIteratorInstance_0002() {
    sim::Card::instance();  // reads the environment now, at load
    return new sim::Iterator;
}

SIM_EXPORT IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance_0001() {
    return nullptr;
}

SIM_EXPORT IDeckLinkVideoConversion* CreateVideoConversionInstance_0001() { return nullptr; }
