#include "panel/LcdGui.h"

#include "capture/DeckLinkAPI.h"
#include "core/StartupConfig.h"
#include "platform/SandboxRoot.h"
#include "record/USBListener.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

constexpr int kPreviewWidth = 113;
constexpr int kPreviewHeight = 64;

// The constructor starts from 1000/1024 of the recording rates; the first
// accepted change switches to the figures proper.
constexpr float kSdStartRate = 21.97f;
constexpr float kHdStartRate = 58.59f;

constexpr size_t kMaxLabel = 127;

bool isSdMode(uint32_t mode) { return mode == kModePal || mode == kModeNtsc; }

// Rows 19, 28, 37, 46, 55, then again from 19 for each further page.
int driveRow(int position) { return 19 + 9 * (position % LcdGui::kDrivesPerPage); }

int16_t barHeight(int16_t level) {
    // One pixel per decibel below full scale, full scale 63 pixels.
    const double height = 20.0 * std::log10(level / 32767.0) + 63.0;
    if (!std::isfinite(height) || height < 0) return 0;
    return static_cast<int16_t>(height);
}

LcdGui::Options boxOptions(StartupStore* startup) {
    return LcdGui::Options{std::make_shared<qva::CommandRunner>(), startup,
                           QVAPainter::Fonts{qva::resolvePath("/QVA/ascii2.png"),
                                             qva::resolvePath("/QVA/ascii3.png"),
                                             qva::resolvePath("/QVA/ascii_small_white.png")},
                           qva::resolvePath("/etc/network/interfaces")};
}

}  // namespace

LcdGui::LcdGui(USBListener* usbListener, DeviceState& state, networkValue* network, StartupStore* startup)
    : LcdGui(usbListener, state, network, boxOptions(startup)) {}

LcdGui::LcdGui(USBListener* usbListener, DeviceState& state, networkValue* network, Options options)
    : usb_(usbListener),
      state_(state),
      network_(network),
      options_(std::move(options)),
      painter_(options_.fonts) {
    std::fputs("LcdGui start\n", stderr);
    if (!options_.runner) options_.runner = std::make_shared<qva::CommandRunner>();
    screen_ = QImage(kScreenWidth, kScreenHeight, QImage::Format_RGB888);
    painter_.DrawBox(&screen_, 0, 0, kScreenWidth, kScreenHeight, -1);
    std::fputs("LcdGui 00\n", stderr);
    buildMenus();
    std::fputs("LcdGui 0\n", stderr);
    updateUsbList();
}

void LcdGui::buildMenus() {
    auto add = [this](Menu menu, const char* text, int x, int y, std::optional<Menu> submenu = std::nullopt) {
        Item item;
        item.text = text;
        item.x = x;
        item.y = y;
        item.submenu = submenu;
        items(menu).push_back(std::move(item));
    };
    add(Menu::Main, "SET STANDARD", 30, 25, Menu::Standard);
    add(Menu::Main, "USB LIST", 30, 45, Menu::DriveList);
    add(Menu::Main, "RECORD", 165, 25, Menu::Record);
    add(Menu::Main, "INFO", 165, 45, Menu::Info);

    const bool pal = load(state_.palMode);
    add(Menu::Standard, pal ? "SD 576i" : "SD 480i", 25, 10);
    add(Menu::Standard, pal ? "HD 720p50" : "HD 720p59.94", 25, 18);
    add(Menu::Standard, pal ? "HD 1080i50" : "HD 1080i59.94", 25, 26);
    add(Menu::Standard, "SD - 1.35GB/HOUR", 25, 47);
    add(Menu::Standard, "HD - 4GB/HOUR", 25, 55);

    add(Menu::DriveList, "FORMAT ALL", 175, 0, Menu::FormatAll);

    add(Menu::Record, "START ALL", 8, 57);
    add(Menu::Record, "STOP ALL", 78, 57);

    add(Menu::Info, "Systemtime:", 124, 30);
    add(Menu::Info, "Audio CH:", 2, 46);
    if (load(state_.studioOptions)) {
        add(Menu::Info, "CVBS IN", 2, 54);
        add(Menu::Info, "AUDIO", 124, 54);
    }

    add(Menu::FormatAll, "YES", 178, 42);
    add(Menu::FormatAll, "NO", 205, 42);

    add(Menu::Drive, "START REC", 15, 56);
    add(Menu::Drive, "STOP REC", 95, 56);
    add(Menu::Drive, "FORMAT DRIVE", 178, 56);

    Items& standard = items(Menu::Standard);
    const uint32_t mode = load(state_.inputMode);
    const bool hdRecording = !load(state_.downConvert) && !isSdMode(mode);
    standard[kSdRecording].marked = !hdRecording;
    standard[kHdRecording].marked = hdRecording;
    compressionRate_ = hdRecording ? kHdStartRate : kSdStartRate;
    int input = kSdInput;
    if (mode == kModeHi50 || mode == kModeHi59) input = kHd1080Input;
    if (mode == kModeHp50 || mode == kModeHp59) input = kHd720Input;
    standard[input].marked = true;
}

// ---------------------------------------------------------------------------
// Drive items

void LcdGui::updateUsbList() {
    QMutexLocker guard(&screenLock_);
    rebuildDriveItems();
}

void LcdGui::rebuildDriveItems() {
    Items& list = items(Menu::DriveList);
    const std::vector<int> before = driveIds();
    list.resize(1);
    if (usb_ != nullptr) {
        QMutexLocker guard(usb_->lock());
        int position = 0;
        for (const usbStick& drive : *usb_->drives()) {
            Item item;
            item.text = drive.label.substr(0, kMaxLabel);
            item.x = 10;
            item.y = driveRow(position++);
            item.submenu = Menu::Drive;
            item.marked = drive.ntfs;
            item.busy = drive.rec;
            item.freeSpace = drive.freeSpace;
            item.size = drive.size;
            item.id = drive.id;
            list.push_back(std::move(item));
        }
    }
    if (driveIds() != before) {
        selectedDrive_ = 1;
        // Positions have moved: a highlight left on a drive could now name
        // another one. It goes to the first drive, never to FORMAT ALL by
        // itself. The other menus' items do not depend on the drives.
        if (current_ == Menu::DriveList) selected_ = list.size() > 1 ? 1 : 0;
    }
    if (current_ == Menu::Drive) {
        const int index = driveIndexOf(driveMenuId_);
        if (index < 0) {
            current_ = Menu::DriveList;
            selected_ = 0;
            selectedDrive_ = 0;
        } else {
            selectedDrive_ = index;
        }
    }
}

bool LcdGui::recordingRunning() {
    // Recordings are also started and stopped from the web, so the flags
    // are taken fresh from the drive list rather than from the last drawing.
    rebuildDriveItems();
    const Items& list = items(Menu::DriveList);
    return std::any_of(list.begin() + 1, list.end(), [](const Item& item) { return item.busy; });
}

std::vector<int> LcdGui::driveIds() const {
    const Items& list = items(Menu::DriveList);
    std::vector<int> ids;
    for (size_t i = 1; i < list.size(); ++i) ids.push_back(list[i].id);
    return ids;
}

int LcdGui::driveIndexOf(int id) const {
    const Items& list = items(Menu::DriveList);
    for (size_t i = 1; i < list.size(); ++i)
        if (list[i].id == id) return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------------------
// Buttons

void LcdGui::setSelected(int direction) {
    const int step = direction > 0 ? 1 : direction < 0 ? -1 : 0;
    {
        QMutexLocker guard(&screenLock_);
        formatRefused_ = false;
        if (current_ == Menu::Info && sysTime_ == 1) {
            const int hour = tempH_ + step;
            tempH_ = static_cast<int8_t>(hour < 0 ? 23 : hour > 23 ? 0 : hour);
        } else if (current_ == Menu::Info && sysTime_ == 2) {
            const int minute = tempM_ + step;
            tempM_ = static_cast<int8_t>(minute < 0 ? 59 : minute > 59 ? 0 : minute);
        } else {
            // Up (+1) goes to the item above, Down (-1) to the one below.
            const int count = static_cast<int>(items(current_).size());
            if (count > 0 && step != 0) {
                int next = selected_ - step;
                if (selected_ < 0 || selected_ >= count) next = 0;
                if (next >= count) next = 0;
                if (next < 0) next = count - 1;
                selected_ = next;
            }
            if (current_ == Menu::DriveList) selectedDrive_ = selected_;
        }
    }
    drawMenus();
}

void LcdGui::pressHome() {
    {
        QMutexLocker guard(&screenLock_);
        formatRefused_ = false;
        current_ = Menu::Main;
        selected_ = 0;
    }
    drawMenus();
}

void LcdGui::pressBack() {
    {
        QMutexLocker guard(&screenLock_);
        formatRefused_ = false;
        if (current_ == Menu::FormatAll || current_ == Menu::Drive) {
            const int count = static_cast<int>(items(Menu::DriveList).size());
            current_ = Menu::DriveList;
            selected_ = selectedDrive_ >= 0 && selectedDrive_ < count ? selectedDrive_ : 0;
        } else {
            current_ = Menu::Main;
            selected_ = 0;
        }
    }
    drawMenus();
}

void LcdGui::pressOK() {
    std::vector<std::string> clockCommand;
    {
        QMutexLocker guard(&screenLock_);
        formatRefused_ = false;
        const Menu menu = current_;
        const int item = selected_;
        const bool recording = recordingRunning();
        // When the refresh moved the highlight (the drive under it went),
        // the press was meant for something no longer there.
        if (current_ == menu && selected_ == item) act(recording, clockCommand);
    }
    if (!clockCommand.empty()) options_.runner->run(clockCommand);
    writeCFG();
    drawMenus();
}

void LcdGui::act(bool recording, std::vector<std::string>& clockCommand) {
    if (selected_ < 0 || selected_ >= static_cast<int>(items(current_).size())) return;
    switch (current_) {
    case Menu::Standard:
        if (recording) break;
        if (selected_ <= kHd1080Input) {
            chooseInputStandard(selected_);
        } else {
            chooseRecordingFormat(selected_);
        }
        break;
    case Menu::Record: {
        const std::vector<int> ids = driveIds();
        if (ids.empty() || usb_ == nullptr) break;
        for (size_t i = 0; i < ids.size(); ++i) {
            if (selected_ == 0) {
                std::fprintf(stderr, "STARTINTG A REC %d\n", static_cast<int>(i) + 1);
                usb_->StartRecord(ids[i]);
            } else {
                usb_->StopRecord(ids[i]);
            }
        }
        rebuildDriveItems();
        break;
    }
    case Menu::Info:
        actInfo(recording, clockCommand);
        break;
    case Menu::FormatAll:
        actFormatAll(recording);
        break;
    case Menu::Drive:
        actDrive();
        break;
    case Menu::Main:
    case Menu::DriveList: {
        const Item& item = items(current_)[selected_];
        if (!item.submenu) break;
        const Menu next = *item.submenu;
        if (current_ == Menu::DriveList) {
            // Back returns here; the drive menu acts on this drive wherever it moves.
            selectedDrive_ = selected_;
            driveMenuId_ = item.id;
        }
        current_ = next;
        // The format-all question opens on NO.
        selected_ = next == Menu::FormatAll ? kFormatAllNo : 0;
        break;
    }
    }
}

void LcdGui::actInfo(bool recording, std::vector<std::string>& clockCommand) {
    std::fprintf(stderr, "Selected Pos:%d ", selected_);
    const bool studio = load(state_.studioOptions);
    switch (selected_) {
    case 0:
        if (sysTime_ == 0) {
            const std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            tempH_ = static_cast<int8_t>(local.tm_hour);
            tempM_ = static_cast<int8_t>(local.tm_min);
        }
        if (++sysTime_ == 3) {
            // Local time, no zone offset: date applies the box's own zone,
            // summer time included.
            char clock[16];
            std::snprintf(clock, sizeof clock, "%02d:%02d:00", tempH_, tempM_);
            clockCommand = {"date", "-s", clock};
            sysTime_ = tempH_ = tempM_ = 0;
        }
        break;
    case 1:
        stepAudioChannel();
        break;
    case 2:
        if (studio && !recording) toggleComposite();
        break;
    case 3:
        if (studio && !recording) stepAudioSource();
        break;
    default:
        break;
    }
}

void LcdGui::actFormatAll(bool recording) {
    if (selected_ != kFormatAllYes) {  // NO: back to the list, nothing touched
        current_ = Menu::DriveList;
        selected_ = selectedDrive_ >= 0 && selectedDrive_ < static_cast<int>(items(Menu::DriveList).size()) ? selectedDrive_ : 0;
        return;
    }
    if (recording || usb_ == nullptr) return;
    std::fputs("Formatting all usb drives connected...\n", stderr);
    for (int id : driveIds()) usb_->StopRecord(id);
    rebuildDriveItems();
    formatAllLocked();
    current_ = Menu::DriveList;
    selected_ = 0;
    selectedDrive_ = 0;
}

void LcdGui::actDrive() {
    // The refresh in pressOK has left this menu if the drive is gone.
    const int id = driveMenuId_;
    if (usb_ == nullptr || driveIndexOf(id) < 0) return;
    switch (selected_) {
    case 0:
        usb_->StartRecord(id);
        rebuildDriveItems();
        break;
    case 1:
        usb_->StopRecord(id);
        rebuildDriveItems();
        break;
    case 2:
        // A recording is never ended by a format: it has to be stopped first.
        if (items(Menu::DriveList)[driveIndexOf(id)].busy) {
            std::fprintf(stderr, "Format refused: drive %d is recording\n", id);
            formatRefused_ = true;
            break;
        }
        formatDrive(id);
        current_ = Menu::DriveList;
        selected_ = 0;
        selectedDrive_ = 0;
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Recording and formatting

std::optional<int> LcdGui::driveIdAt(int index) const {
    const Items& list = items(Menu::DriveList);
    if (usb_ == nullptr || index < 1 || index >= static_cast<int>(list.size())) return std::nullopt;
    return list[index].id;
}

void LcdGui::startRecord(int index) {
    QMutexLocker guard(&screenLock_);
    if (const auto id = driveIdAt(index)) {
        usb_->StartRecord(*id);
        rebuildDriveItems();
    }
}

void LcdGui::stopRecord(int index) {
    QMutexLocker guard(&screenLock_);
    if (const auto id = driveIdAt(index)) {
        usb_->StopRecord(*id);
        rebuildDriveItems();
    }
}

int LcdGui::formatUsb(int index) {
    QMutexLocker guard(&screenLock_);
    if (const auto id = driveIdAt(index)) formatDrive(*id);
    return 0;
}

int LcdGui::formatAllUsb() {
    QMutexLocker guard(&screenLock_);
    return formatAllLocked();
}

void LcdGui::formatDrive(int id) {
    // By id: the refresh may move the drive to another position.
    rebuildDriveItems();
    const int index = driveIndexOf(id);
    if (index < 0 || items(Menu::DriveList)[index].busy) return;
    usb_->formatUSB(id);
    rebuildDriveItems();
}

int LcdGui::formatAllLocked() {
    if (usb_ == nullptr || recordingRunning()) return 0;
    usb_->formatALLUSB();
    rebuildDriveItems();
    return 0;
}

bool LcdGui::writeCFG() { return options_.startup->save(state_); }

// ---------------------------------------------------------------------------
// Settings changes

void LcdGui::markInput(int item) {
    Items& standard = items(Menu::Standard);
    for (int i = kSdInput; i <= kHd1080Input; ++i) standard[i].marked = i == item;
}

void LcdGui::setRecordingFormat(bool sd) {
    Items& standard = items(Menu::Standard);
    standard[kSdRecording].marked = sd;
    standard[kHdRecording].marked = !sd;
    compressionRate_ = sd ? kSdRate : kHdRate;
    store(state_.downConvert, sd);
    // The composite input exists only in standard definition.
    if (!sd) store(state_.composite, false);
}

bool LcdGui::chooseInputStandard(int item) {
    if (items(Menu::Standard)[item].marked) return false;
    markInput(item);
    const bool pal = load(state_.palMode);
    switch (item) {
    case kSdInput:
        store(state_.inputMode, pal ? kModePal : kModeNtsc);
        break;
    case kHd720Input:
        store(state_.inputMode, pal ? kModeHp50 : kModeHp59);
        break;
    default:
        store(state_.inputMode, pal ? kModeHi50 : kModeHi59);
        break;
    }
    setRecordingFormat(item == kSdInput);
    store(state_.restartCapture, true);
    return true;
}

bool LcdGui::chooseRecordingFormat(int item) {
    if (items(Menu::Standard)[item].marked) return false;
    setRecordingFormat(item == kSdRecording);
    store(state_.restartCapture, true);
    return true;
}

void LcdGui::toggleComposite() {
    const bool on = !load(state_.composite);
    store(state_.composite, on);
    markInput(kSdInput);
    Items& standard = items(Menu::Standard);
    standard[kSdRecording].marked = true;
    standard[kHdRecording].marked = false;
    compressionRate_ = kSdRate;
    // The composite input comes with its own analogue audio.
    store(state_.downConvert, on);
    store(state_.analogAudio, on);
    store(state_.aesAudio, false);
    store(state_.restartCapture, true);
}

void LcdGui::stepAudioSource() {
    const bool analog = load(state_.analogAudio);
    const bool aes = load(state_.aesAudio);
    // Embedded, analogue, AES/EBU, embedded; both set is not a source.
    const bool nextAnalog = !analog && !aes;
    const bool nextAes = analog && !aes;
    store(state_.analogAudio, nextAnalog);
    store(state_.aesAudio, nextAes);
    // Those sources have a single pair.
    if (nextAnalog || nextAes) store(state_.audioChannel, 0);
    store(state_.restartCapture, true);
}

void LcdGui::stepAudioChannel() {
    int channel = load(state_.audioChannel) + 1;
    if (channel < 0 || channel > 3) channel = 0;
    if (load(state_.analogAudio) || load(state_.aesAudio)) channel = 0;
    store(state_.audioChannel, channel);
}

// ---------------------------------------------------------------------------
// Live values and the screen image

void LcdGui::setAudio(int16_t left, int16_t right) {
    levelLeft_.store(barHeight(left), std::memory_order_relaxed);
    levelRight_.store(barHeight(right), std::memory_order_relaxed);
}

void LcdGui::SetSDI(const QImage& picture) {
    // Cut and converted before the lock is taken; the painter copies only
    // between images of one format.
    QImage part = picture.copy(0, 0, kPreviewWidth, kPreviewHeight);
    if (!part.isNull() && part.format() != QImage::Format_RGB888)
        part = part.convertToFormat(QImage::Format_RGB888);
    QMutexLocker guard(&screenLock_);
    preview_.swap(part);
}

void LcdGui::GetQImage(QImage* out) {
    if (out == nullptr) return;
    QMutexLocker guard(&screenLock_);
    *out = screen_.copy();
}

LcdGui::MenuState LcdGui::menuState() const {
    QMutexLocker guard(&screenLock_);
    MenuState state;
    state.menu = current_;
    state.selected = selected_;
    state.selectedDrive = selectedDrive_;
    state.sysTime = sysTime_;
    state.editHour = tempH_;
    state.editMinute = tempM_;
    state.compressionRate = compressionRate_;
    const Items& standard = items(Menu::Standard);
    for (size_t i = 0; i < state.standardMarks.size(); ++i) state.standardMarks[i] = standard[i].marked;
    return state;
}
