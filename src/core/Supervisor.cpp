#include "core/Supervisor.h"

#include "capture/DeckLinkRef.h"
#include "core/EffectiveMode.h"
#include "core/StartupConfig.h"
#include "platform/FatalExit.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

[[noreturn]] void fatal(const char* message) { qva::fatalExit(message); }

void setOrReport(IDeckLinkConfiguration* config, BMDConfigurationID id, int64_t value,
                 const char* failure) {
    if (config->SetInt(id, value) != S_OK) std::fputs(failure, stderr);
}

}  // namespace

Supervisor::Supervisor(IDeckLinkInput* input, DeviceState& state, VideoQueue& queue,
                       StreamBuffer& buffer, StartupStore& startup, Pass pass,
                       std::chrono::milliseconds pauseAfterPass)
    : input_(input),
      state_(state),
      queue_(queue),
      buffer_(buffer),
      startup_(startup),
      pass_(std::move(pass)),
      pauseAfterPass_(pauseAfterPass) {}

void Supervisor::fallBackFromARefusedMode() {
    const CaptureSettings stored = captureSettingsOf(state_);
    const uint32_t mode =
        effectiveModeFor(stored.composite, stored.downConvert, stored.palMode, stored.inputMode).mode;
    if (mode == kModePal) return;  // nothing to fall back to
    const bool taken =
        input_->EnableVideoInput(mode, kPixelFormat8BitYUV, kVideoInputFlagDefault) == S_OK;
    input_->DisableVideoInput();
    if (taken) return;

    const char code[] = {char(mode >> 24), char(mode >> 16), char(mode >> 8), char(mode), '\0'};
    std::fprintf(stderr, "The card refuses the stored mode '%s': recording in 'pal ' instead\n", code);
    // The audio source has nothing to do with the mode and stays.
    CaptureSettings fallback;
    fallback.analogAudio = stored.analogAudio;
    fallback.aesAudio = stored.aesAudio;
    applyCaptureSettings(fallback, state_);
}

void Supervisor::configureConnections(IDeckLinkConfiguration* config, const CaptureSettings& settings,
                                      const EffectiveMode& effective) {
    if (settings.composite) {
        std::fputs("Composite***************************************\n", stderr);
        setOrReport(config, kConfigVideoInputConversionMode, kConversionNone,
                    "Failed to downconvert\n");
        store(state_.inputMode, effective.mode);
        setOrReport(config, kConfigAudioInputConnection, kAudioConnectionAnalog,
                    "Failed to analog\n");
        setOrReport(config, kConfigVideoInputConnection, kVideoConnectionComposite,
                    "Failed to Composite\n");
        return;
    }

    setOrReport(config, kConfigVideoInputConversionMode, effective.conversion,
                "Failed to downconvert\n");
    if (settings.analogAudio && !settings.aesAudio) {
        setOrReport(config, kConfigAudioInputConnection, kAudioConnectionAnalog,
                    "Failed to analog\n");
        store(state_.audioChannel, 0);
    } else if (settings.aesAudio && !settings.analogAudio) {
        setOrReport(config, kConfigAudioInputConnection, kAudioConnectionAESEBU,
                    "Failed to Embedded\n");
        store(state_.audioChannel, 0);
    } else if (!settings.analogAudio && !settings.aesAudio) {
        setOrReport(config, kConfigAudioInputConnection, kAudioConnectionEmbedded,
                    "Failed to Embedded\n");
    }
    setOrReport(config, kConfigVideoInputConnection, kVideoConnectionSDI, "Failed to SDI\n");
}

uint32_t Supervisor::configureCard() {
    DeckLinkRef<IDeckLinkConfiguration> config;
    if (input_->QueryInterface(IID_IDeckLinkConfiguration, config.putVoid()) != S_OK || !config) {
        fatal("Could not get config interface\n");
    }

    // One consistent view of the settings for the whole pass; a change made
    // meanwhile also raises restartCapture and is taken at the next pass.
    CaptureSettings settings = captureSettingsOf(state_);
    const EffectiveMode effective = effectiveModeFor(settings.composite, settings.downConvert,
                                                     settings.palMode, settings.inputMode);
    configureConnections(config.get(), settings, effective);

    // A composite pass has just made inputMode the standard-definition mode.
    if (settings.composite) settings.inputMode = effective.mode;
    store(state_.audioWithoutVideo, audioWithoutVideoFor(settings.inputMode, settings.downConvert));

    input_->StopStreams();
    input_->DisableAudioInput();
    input_->DisableVideoInput();
    if (input_->EnableVideoInput(effective.mode, kPixelFormat8BitYUV, kVideoInputFlagDefault) !=
        S_OK) {
        fatal("Failed to enable video input 1. Is another application using the card ?\n");
    }
    if (input_->EnableAudioInput(kAudioSampleRate48kHz, kAudioSampleType16bit,
                                 kCapturedAudioChannels) != S_OK) {
        fatal("Failed to enable audio\n");
    }
    input_->StartStreams();
    startup_.accept(settings, state_);
    return effective.mode;
}

void Supervisor::runOnePass() {
    const uint32_t mode = configureCard();
    // Nothing captured or muxed under the old configuration reaches the new pass.
    queue_.popQueue();
    buffer_.clearBuffer();
    pass_(mode);
    std::this_thread::sleep_for(pauseAfterPass_);
    store(state_.restartCapture, false);
}

void Supervisor::run() {
    for (;;) runOnePass();
}
