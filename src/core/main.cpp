// The recorder: builds every long-lived object in a fixed order, then runs the
// capture supervisor for the life of the process.
#include "capture/CaptureCard.h"
#include "capture/DeckLinkAPI.h"
#include "capture/DeckLinkCaptureDelegate.h"
#include "capture/DeckLinkRef.h"
#include "capture/VideoQueue.h"
#include "core/DeviceState.h"
#include "core/GuiUpdater.h"
#include "core/StartupConfig.h"
#include "core/StartupStore.h"
#include "core/Supervisor.h"
#include "encode/TimeCodeBurner.h"
#include "encode/VideoEncoder.h"
#include "panel/LcdController.h"
#include "panel/LcdGui.h"
#include "panel/NetworkSettings.h"
#include "panel/NetworkValue.h"
#include "platform/FatalExit.h"
#include "platform/Files.h"
#include "platform/MemoryTuning.h"
#include "platform/SandboxRoot.h"
#include "record/StreamBuffer.h"
#include "record/TSWriter.h"
#include "record/USBListener.h"
#include "remote/web_command_listner.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main() {
    qva::keepFrameBuffersInHeap();
    // A drive or a peer that goes away, or a file-size limit (FAT32's 4 GiB),
    // must be a failed write, never the end of the recorder.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Lives in main's frame for the life of the process: main never returns,
    // it ends by leaving the process, so threads may hold pointers into it
    // until the end.
    DeviceState state;
    networkValue network;
    std::fprintf(stderr, "Size %d \n", 64);
    store(state.audioLevelLeft, 0);
    store(state.audioLevelRight, 0);
    store(state.audioChannel, 0);
    store(state.tcBurnIn, 0);
    store(state.audioWithoutVideo, false);
    store(state.spareSetting, 0);

    network.set(readStartupNetworkSettings(qva::resolvePath("/etc/network/interfaces")));
    std::thread(netUpdate, &network).detach();

    store(state.studioOptions, false);
    const std::string startupPath = qva::resolvePath("/QVA/startup.cfg");
    qva::removeLeftoverTemporaries(startupPath);
    const StartupRecord stored = readStartupConfig(startupPath);
    applyStartupRecord(stored, state);
    StartupStore startup(startupPath, captureSettingsOf(stored));

    store(state.restartCapture, false);
    VideoQueue queue;
    StreamBuffer buffer;

    DeckLinkRef<IDeckLinkIterator> iterator(CreateDeckLinkIteratorInstance());
    CaptureCard card = openFirstCard(iterator.get());
    if (card.failure != nullptr) qva::fatalExit(card.failure);
    DeckLinkRef<IDeckLinkInput>& input = card.input;
    store(state.studioOptions, card.studioOptions);

    TimeCodeBurner burner;
    Supervisor supervisor(input.get(), state, queue, buffer, startup, [&](uint32_t mode) {
        VideoEncoder pass(mode, "/test/test.ts", &queue, &buffer, &state.restartCapture,
                          &state.audioChannel, &state.palMode, &state.tcBurnIn,
                          &state.logoBurning, &burner);
    });
    // Before the menus, the writer and the reports take the settings up.
    supervisor.fallBackFromARefusedMode();

    // Reference counted: the input holds it for the life of the process.
    auto* delegate = new DeckLinkCaptureDelegate(
        &queue, &state.previewImage, &state.previewMutex, &state.audioLevelLeft,
        &state.audioLevelRight, &state.audioWithoutVideo, input.get(), &state.audioChannel);
    input->SetCallback(delegate);

    TSWriter writer(&buffer, &state.filePrefix);
    USBListener usbListener(&writer);
    writer.StartWriter();

    std::fputs("Starting gui\n", stderr);
    LcdGui gui(&usbListener, state, &network, &startup);
    std::fputs("Startar LCD grejjer\n", stderr);
    LcdController controller(qva::resolvePath("/dev/picolcd").c_str(), 256, 64, &gui);

    GuiUpdaterArgs updaterArgs{&state.previewMutex, &gui, &state.previewImage, &state.audioLevelLeft,
                               &state.audioLevelRight, &controller};
    std::thread(guiUpdater, &updaterArgs).detach();

    web_command_listner server(&gui, &usbListener, &network, &burner);
    server.start(qva::resolvePath("/tmp/domain_socket"));

    supervisor.run();
}
