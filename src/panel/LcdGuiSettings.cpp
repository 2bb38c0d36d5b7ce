// The settings operations shared by the panel and the web front end.
#include "panel/LcdGui.h"

#include "capture/DeckLinkAPI.h"
#include "core/EffectiveMode.h"
#include "core/StartupConfig.h"
#include "panel/NetworkSettings.h"

#include <QMutexLocker>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// A name that becomes a file name on every drive: nothing FAT or exFAT
// cannot store, and none of the reports' separators.
bool isSafeFileName(const char* name) {
    if (name == nullptr) return false;
    const size_t length = std::strlen(name);
    if (length == 0 || length > 63 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f || std::strchr("/\\\"*:<>?|#;=", c) != nullptr) return false;
    }
    return true;
}

// Only what a date and time are written with, so the text can never be
// taken for an option or anything else by date.
bool isDateText(const char* text) {
    if (text == nullptr) return false;
    const size_t length = std::strlen(text);
    if (length == 0 || length > 64) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || c == '-' || c == ':' || c == '.' || c == '/' || c == ' ')) return false;
    }
    return text[0] != '-';
}

}  // namespace

bool LcdGui::refuseWhileRecording(const char* operation, const char* busyText, const char* refusal,
                                  const char* accepted) {
    rebuildDriveItems();
    const Items& list = items(Menu::DriveList);
    std::fprintf(stderr, "menu 3 %s %d\n", operation, int(list.size()));
    bool busy = false;
    for (size_t i = 1; i < list.size(); ++i) {
        if (list[i].busy) {
            std::fprintf(stderr, busyText, int(i));
            busy = true;
        } else {
            std::fprintf(stderr, "temp recording == false i inputmode på usb %d\n", int(i));
        }
    }
    std::fputs(busy ? refusal : accepted, stderr);
    return busy;
}

int LcdGui::set_inputmode(uint32_t mode) {
    // A code the card does not know would be refused at every start, or make
    // the encoder read frames of another size.
    if (!isKnownDisplayMode(mode)) return 1;
    {
        QMutexLocker guard(&screenLock_);
        if (refuseWhileRecording("inputmode", "temp recording == true i inputmode på usb %d\n",
                                 "ändrar ingenting i inputmode\n", "ändrar i inputmode\n")) {
            rebuildDriveItems();
            return 1;
        }
        store(state_.inputMode, mode);
        Items& standard = items(Menu::Standard);
        if (mode == kModeHp50 || mode == kModeHp59) {
            markInput(kHd720Input);
        } else if (mode == kModeHi50 || mode == kModeHi59) {
            markInput(kHd1080Input);
        } else {
            markInput(kSdInput);
            standard[kSdRecording].marked = true;
        }
        rebuildDriveItems();
    }
    return 0;
}

int LcdGui::set_outputmode(bool sd) {
    bool refused = false;
    {
        QMutexLocker guard(&screenLock_);
        refused = refuseWhileRecording("outputmode", "temp recording == true i output mode på usb %d\n",
                                       "ändrar ingenting i output mode\n", "ändrar i output mode\n");
        if (!refused) {
            store(state_.downConvert, sd);
            const uint32_t input = load(state_.inputMode);
            const bool hdRecording = !sd && input != kModeNtsc && input != kModePal;
            Items& standard = items(Menu::Standard);
            standard[kSdRecording].marked = !hdRecording;
            standard[kHdRecording].marked = hdRecording;
            compressionRate_ = hdRecording ? kHdRate : kSdRate;
            if (hdRecording) store(state_.composite, false);
        }
        rebuildDriveItems();
    }
    bool saved = true;
    if (!refused) {
        saved = writeCFG();
        store(state_.restartCapture, true);
    }
    changeFileName();
    drawMenus();
    return refused || !saved ? 1 : 0;
}

int LcdGui::setPAL(bool pal) {
    {
        QMutexLocker guard(&screenLock_);
        if (recordingRunning()) return 1;
        store(state_.palMode, pal);
        Items& standard = items(Menu::Standard);
        standard[kSdInput].text = pal ? "SD 576i" : "SD 480i";
        standard[kHd720Input].text = pal ? "HD 720p50" : "HD 720p59.94";
        standard[kHd1080Input].text = pal ? "HD 1080i50" : "HD 1080i59.94";
    }
    set_inputmode(pal ? kModePal : kModeNtsc);
    set_outputmode(true);
    if (!pal) {
        store(state_.tcBurnIn, 0);
        std::fputs("LOGO Bruning\n", stderr);
        store(state_.logoBurning, false);
    }
    const bool saved = writeCFG();
    updateUsbList();
    return saved ? 0 : 1;
}

int LcdGui::setComposite(bool on) {
    QMutexLocker guard(&screenLock_);
    if (recordingRunning()) return -1;
    store(state_.composite, on);
    store(state_.restartCapture, true);
    rebuildDriveItems();
    return 0;
}

int LcdGui::setAudio(int source) {
    QMutexLocker guard(&screenLock_);
    if (recordingRunning() || source < 0 || source > 2) return -1;
    store(state_.analogAudio, source == 1);
    store(state_.aesAudio, source == 2);
    store(state_.audioChannel, 0);
    store(state_.restartCapture, true);
    rebuildDriveItems();
    return 0;
}

int LcdGui::set_channel(int8_t pair) {
    if (pair < 0 || pair > 3) return 1;  // only four pairs are captured
    {
        QMutexLocker guard(&screenLock_);
        if (recordingRunning()) return 1;
        store(state_.audioChannel, pair);
    }
    drawMenus();
    return 0;
}

int LcdGui::setLogoBurning(bool on) {
    std::fputs("LOGO Bruning\n", stderr);
    store(state_.logoBurning, on);
    return writeCFG() ? 0 : 1;
}

int LcdGui::setTCBurnIn(int mode) {
    store(state_.tcBurnIn, mode);
    return writeCFG() ? 0 : 1;
}

int LcdGui::changeFileName(const char* name) {
    if (!isSafeFileName(name)) return 1;
    state_.filePrefix.set(name);
    userFileName_ = true;
    return 0;
}

void LcdGui::changeFileName() {
    if (userFileName_) return;
    const std::string prefix = filePrefixFor(load(state_.inputMode), load(state_.downConvert), load(state_.palMode));
    if (!prefix.empty()) state_.filePrefix.set(prefix);
}

int LcdGui::set_localtime(int hour, int minute) {
    char time[32];
    std::snprintf(time, sizeof time, "%d:%d:00", hour, minute);
    const int status = options_.runner->run({"date", "+%T", "-s", time});
    if (status == 0) drawMenus();
    return status;
}

int LcdGui::set_local_date(const char* date) {
    if (!isDateText(date)) return 1;
    return options_.runner->run({"date", "--set", date});
}

int LcdGui::factoryReset() {
    ::unlink(options_.startup->path().c_str());
    return options_.runner->run({"shutdown", "-hr", "now"});
}

LcdGui::WebInfo LcdGui::getWebInfo() const {
    WebInfo info{};
    info.downConvert = load(state_.downConvert);
    info.inputMode = load(state_.inputMode);
    info.palMode = load(state_.palMode);
    // What is recorded: a down-conversion follows the input's rate, composite the PAL flag.
    info.outputMode = effectiveModeFor(load(state_.composite), info.downConvert, info.palMode, info.inputMode).mode;
    if (usb_ != nullptr) {
        QMutexLocker guard(usb_->lock());
        info.driveCount = uint16_t(usb_->drives()->size());
    }
    info.audioChannel = load(state_.audioChannel);
    info.fileName = state_.filePrefix.get();
    info.studioOptions = load(state_.studioOptions);
    info.composite = load(state_.composite);
    info.analogAudio = load(state_.analogAudio);
    info.aesAudio = load(state_.aesAudio);
    info.embeddedAudio = !info.analogAudio && !info.aesAudio;
    info.logoBurning = load(state_.logoBurning);
    info.tcBurnIn = load(state_.tcBurnIn);
    info.levelLeft = load(state_.audioLevelLeft);
    info.levelRight = load(state_.audioLevelRight);
    return info;
}

std::deque<usbStick> LcdGui::getUSBDeck() const {
    if (usb_ == nullptr) return {};
    QMutexLocker guard(usb_->lock());
    return *usb_->drives();
}

void LcdGui::checkNetworkConfig() { ::checkNetworkConfig(*network_, options_.interfacesPath); }

int LcdGui::setNetworkConfiguration() {
    return setDhcpConfiguration(*network_, options_.interfacesPath, *options_.runner);
}

int LcdGui::setNetworkConfiguration(const NetworkSettings& given) {
    return setStaticConfiguration(*network_, given, options_.interfacesPath, *options_.runner);
}
