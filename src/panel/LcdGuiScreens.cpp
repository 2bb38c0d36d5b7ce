// Drawing the front-panel screens: every call redraws the whole screen for
// the menu shown, with the painter only, under the screen lock.
#include "panel/LcdGui.h"

#include "capture/DeckLinkAPI.h"

#include <QMutexLocker>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kPreviewX = 139;
constexpr char kSoftwareVersion[] = "3.1";
// A label longer than this would run into the size column of the list.
constexpr size_t kListLabelChars = 17;
constexpr int kRecordScreenDrives = 9;
constexpr int kBlinkFrames = 10;  // 0.4 s on, 0.4 s off at 25 drawings a second

// The first drive item of the page that holds the highlight.
int firstShownDrive(int selected) {
    return 1 + LcdGui::kDrivesPerPage * (selected < 1 ? 0 : (selected - 1) / LcdGui::kDrivesPerPage);
}

}  // namespace

std::string LcdGui::printInt(int value, int mode, float rate) {
    char out[32];
    switch (mode) {
    case 1:
        // At most five characters of 6 pixels: the drive list's Free column
        // ends a pixel before the time left.
        if (value < 1000) {
            std::snprintf(out, sizeof out, "%dMB", std::max(value, 0));
        } else if (value < 1024) {
            return "1GB";
        } else if (value / 1024 < 1000) {
            std::snprintf(out, sizeof out, "%dGB", value / 1024);
        } else if (value / 1048576 < 10) {
            std::snprintf(out, sizeof out, "%d.%dTB", value / 1048576, value % 1048576 * 10 / 1048576);
        } else if (value / 1048576 < 100) {
            std::snprintf(out, sizeof out, "%dTB", value / 1048576);
        } else {
            return ">99TB";
        }
        return out;
    case 2: {
        // A zero or nonsensical rate shows no time rather than garbage.
        const float minutes = static_cast<float>(value) / rate;
        const int whole = std::isfinite(minutes) && minutes > 0
                              ? static_cast<int>(std::min(minutes, static_cast<float>(INT_MAX / 2)))
                              : 0;
        // Six characters at most, so the time never runs into REC.
        if (whole / 60 > 999) return ">999h";
        std::snprintf(out, sizeof out, "%02d:%02d", whole / 60, whole % 60);
        return out;
    }
    case 3:
        std::snprintf(out, sizeof out, "%d", value);
        return out;
    default:
        return {};
    }
}

void LcdGui::drawMenus() {
    QMutexLocker guard(&screenLock_);
    if (current_ == Menu::DriveList || current_ == Menu::Record || current_ == Menu::Info ||
        current_ == Menu::Drive)
        rebuildDriveItems();
    painter_.DrawBox(&screen_, 0, 0, kScreenWidth, kScreenHeight, -1);
    switch (current_) {
    case Menu::Main:
        drawMain();
        break;
    case Menu::Standard:
        drawStandard();
        break;
    case Menu::DriveList:
        drawDriveList();
        break;
    case Menu::Record:
        drawRecord();
        break;
    case Menu::Info:
        drawInfo();
        break;
    case Menu::FormatAll:
        drawFormatAll();
        break;
    case Menu::Drive:
        drawDrive();
        break;
    }
    drawItems();
    // Settings the box would forget at its next start: said on every screen.
    if (options_.startup->unsaved()) text("NOT SAVED", 0, kScreenHeight - 9, true);
}

void LcdGui::text(const std::string& text, int x, int y, bool inverted) {
    painter_.DrawText(text.c_str(), &screen_, x, y, inverted, false);
}

void LcdGui::line(int x, int y, int w, int h) { painter_.DrawBox(&screen_, x, y, w, h, 0); }

void LcdGui::drawItems() {
    const Items& list = items(current_);
    const int count = static_cast<int>(list.size());
    auto draw = [&](int i) {
        const Item& item = list[i];
        const bool drive = current_ == Menu::DriveList && i > 0;
        text(drive ? item.text.substr(0, kListLabelChars) : item.text, item.x, item.y, i == selected_);
    };
    if (current_ != Menu::DriveList) {
        for (int i = 0; i < count; ++i) draw(i);
        return;
    }
    if (count > 0) draw(0);
    const int first = firstShownDrive(selected_);
    const int end = std::min(count, first + kDrivesPerPage);
    for (int i = first; i < end; ++i) draw(i);
}

void LcdGui::drawPreview() {
    if (!preview_.isNull()) painter_.CopyQImage(&screen_, &preview_, kPreviewX, 0);
    const int right = levelRight_.load(std::memory_order_relaxed);
    const int left = levelLeft_.load(std::memory_order_relaxed);
    line(255, kScreenHeight - right, 1, right);
    line(253, kScreenHeight - left, 1, left);
    for (int y : {0, 15, 25}) line(252, y, 1, 1);
}

void LcdGui::drawMain() {
    painter_.DrawText("-== QVA ==-", &screen_, 10, 6, false, true);
    line(0, 3, 256, 1);
    line(0, 17, 256, 1);
}

void LcdGui::drawStandard() {
    text("INPUT FORMAT", 25, 0);
    line(0, 8, 139, 1);
    text("OUTPUT FORMAT", 25, 37);
    line(0, 45, 139, 1);
    const Items& standard = items(Menu::Standard);
    if (standard[kSdInput].marked) text("N/A", 3, 55);
    for (int i = kSdInput; i <= kHdRecording; ++i)
        if (standard[i].marked) text(">>>", 2, standard[i].y);
    drawPreview();
}

void LcdGui::drawDriveList() {
    text("== USB LIST == ", 0, 0);
    text("NAME", 10, 9);
    text("Size", 113, 9);
    text("Free", 156, 9);
    text("HH:MM", 192, 9);
    text("REC", 232, 9);
    line(0, 7, 1, 56);
    line(255, 7, 1, 56);
    line(0, 7, 256, 1);
    line(0, 17, 256, 1);
    const Items& list = items(Menu::DriveList);
    const int count = static_cast<int>(list.size());
    const int first = firstShownDrive(selected_);
    const int end = std::min(count, first + kDrivesPerPage);
    // Left open while another page follows.
    if (end >= count) line(0, 63, 255, 1);
    const float rate = compressionRate_;
    for (int i = first; i < end; ++i) {
        const Item& drive = list[i];
        if (drive.marked) {
            painter_.DrawRight(&screen_, drive.x - 8, drive.y);
        } else {
            painter_.DrawError(&screen_, drive.x - 8, drive.y);
        }
        text(printInt(drive.size, 1, rate), 113, drive.y);
        text(printInt(drive.freeSpace, 1, rate), 156, drive.y);
        text(printInt(drive.freeSpace, 2, rate), 192, drive.y);
        text(drive.busy ? "REC" : "STP", 232, drive.y);
    }
}

void LcdGui::drawRecord() {
    const Items& list = items(Menu::DriveList);
    const int drives = static_cast<int>(list.size()) - 1;
    const int recording =
        static_cast<int>(std::count_if(list.begin() + 1, list.end(), [](const Item& item) { return item.busy; }));
    text("RECORDING", 9, 1);
    text(printInt(recording, 3, 0), 69, 1);
    text("/", 75, 1);
    text(printInt(drives, 3, 0), 81, 1);
    text(" USB", 87, 1);
    if (recording > 0) {
        ++blinkCounter_;
        if ((blinkCounter_ / kBlinkFrames) % 2 == 1) text("REC", 116, 1);
    }
    const float rate = compressionRate_;
    for (int i = 1; i <= std::min(drives, kRecordScreenDrives); ++i) {
        const int x = i <= 4 ? 0 : 70;
        const int y = i <= 4 ? 10 * i + 2 : 10 * i - 38;
        text(printInt(list[i].freeSpace, 2, rate), x, y);
        text(list[i].busy ? "REC" : "STP", x + 42, y);
    }
    line(0, 9, 139, 1);
    line(65, 9, 1, 48);
    line(0, 56, 139, 1);
    drawPreview();
}

std::string LcdGui::inputText() const {
    switch (load(state_.inputMode)) {
    case kModeHi50:
        return "1080i50";
    case kModeHi59:
        return "1080i59.94";
    case kModeHp50:
        return "720p50";
    case kModeHp59:
        return "720p59.94";
    case kModeNtsc:
        return "480i";
    case kModePal:
        return "576i50";
    default:
        return {};
    }
}

void LcdGui::drawInfo() {
    const Items& list = items(Menu::DriveList);
    const Items& standard = items(Menu::Standard);
    const int drives = static_cast<int>(list.size()) - 1;
    const int recording =
        static_cast<int>(std::count_if(list.begin() + 1, list.end(), [](const Item& item) { return item.busy; }));
    text("== QVA USB ==", 88, 2);
    text("A QVA PRODUCT", 33, 12);
    text(std::string("MADE IN SWEDEN - SOFTWARE VERSION ") + kSoftwareVersion, 14, 18);
    const std::string input = inputText();
    text("INPUT:", 2, 30);
    text(input, 50, 30);
    text("OUTPUT:", 2, 38);
    text(standard[kHdRecording].marked ? "HD" : standard[kSdRecording].marked ? "SD" : input, 50, 38);

    int hour = tempH_, minute = tempM_;
    if (sysTime_ == 0) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        hour = local.tm_hour;
        minute = local.tm_min;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d", hour, minute);
    text(buffer, 190, 30);

    text("USB REC:", 124, 38);
    text(printInt(recording, 3, 0), 172, 38);
    text("/", 178, 38);
    text(printInt(drives, 3, 0), 184, 38);
    text(" USB", 190, 38);

    const int pair = load(state_.audioChannel);
    std::snprintf(buffer, sizeof buffer, "%d/%d", 2 * pair + 1, 2 * pair + 2);
    text(buffer, 60, 46);

    if (load(state_.studioOptions)) {
        text(":", 44, 54);
        text(load(state_.composite) ? "ON" : "OFF", 50, 54);
        const bool analog = load(state_.analogAudio);
        const bool aes = load(state_.aesAudio);
        text(":", 154, 54);
        if (!(analog && aes)) text(analog ? "ANALOG" : aes ? "AES/EBU" : "EMBEDDED", 160, 54);
    }
    text("IP: " + (network_ != nullptr ? network_->get().ip : std::string()), 125, 46);
}

void LcdGui::drawFormatAll() {
    text("THIS ACTION WILL FORMAT ALL CONNECTED", 14, 10);
    text("DRIVES. MAKE SURE YOU DO NOT DELETE ANY", 4, 19);
    text("IMPORTANT DATA BEFORE PRESSING OK.", 25, 28);
    text("FORMAT ALL DRIVES:", 65, 42);
    text("(PRESS BACK ARROW TO CANCEL)", 46, 57);
}

void LcdGui::drawDrive() {
    line(0, 63, 256, 1);
    line(0, 55, 256, 1);
    text("== USB SETTINGS ==", 70, 2);
    // The refresh before drawing has left this menu if the drive is gone.
    const int index = driveIndexOf(driveMenuId_);
    if (index < 0) return;
    const Item& drive = items(Menu::DriveList)[index];
    const float rate = compressionRate_;
    text("USB NAME:", 4, 14);
    text(drive.text, 70, 14);
    text("DRIVE SIZE:", 4, 22);
    text(printInt(drive.size, 1, rate), 70, 22);
    text("FORMAT STATUS:", 120, 30);
    if (drive.marked) {
        painter_.DrawRight(&screen_, 210, 30);
    } else {
        painter_.DrawError(&screen_, 210, 30);
    }
    text("FREE SPACE:", 4, 30);
    text(printInt(drive.freeSpace, 1, rate), 70, 30);
    if (formatRefused_) text("STOP RECORDING BEFORE FORMATTING", 4, 46, true);
    text("TIME LEFT:", 4, 38);
    text(printInt(drive.freeSpace, 2, rate), 70, 38);
    text("REC STATUS:", 120, 38);
    text(drive.busy ? "REC" : "STP", 210, 38);
}
