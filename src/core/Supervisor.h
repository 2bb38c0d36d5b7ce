// The capture supervisor: configure the card for the current settings, run
// one encoder pass, and again, for the life of the process.
#pragma once

#include "capture/DeckLinkAPI.h"
#include "capture/VideoQueue.h"
#include "core/DeviceState.h"
#include "core/EffectiveMode.h"
#include "core/StartupStore.h"
#include "record/StreamBuffer.h"

#include <chrono>
#include <functional>

class Supervisor {
public:
    // One encoder pass in the given display mode; returns once restartCapture is set.
    using Pass = std::function<void(uint32_t effectiveMode)>;

    Supervisor(IDeckLinkInput* input, DeviceState& state, VideoQueue& queue, StreamBuffer& buffer,
               StartupStore& startup, Pass pass,
               std::chrono::milliseconds pauseAfterPass = std::chrono::seconds(1));

    // At start, before anything is built on the stored settings: when the
    // card refuses the stored mode, the capture settings fall back to the
    // default, 'pal ', and it says so once. The first pass then stores them.
    // With 'pal ' refused too, that pass ends the process.
    void fallBackFromARefusedMode();

    // Configures the card, enables its inputs and restarts its streams, then
    // hands the settings to the startup store. Returns the effective mode.
    // A card that refuses the configuration interface or the enabling of
    // video or audio ends the process (status 1), the store untouched.
    uint32_t configureCard();

    // One iteration of the loop: configure, empty the frame queue and the
    // stream buffer of the old configuration, run the pass, pause, clear the
    // restart request.
    void runOnePass();

    [[noreturn]] void run();

private:
    void configureConnections(IDeckLinkConfiguration* config, const CaptureSettings& settings,
                              const EffectiveMode& effective);

    IDeckLinkInput* input_;
    DeviceState& state_;
    VideoQueue& queue_;
    StreamBuffer& buffer_;
    StartupStore& startup_;
    Pass pass_;
    std::chrono::milliseconds pauseAfterPass_;
};

