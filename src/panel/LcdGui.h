// The front panel's menu system, and the one place through which both the
// panel and the web front end change the recorder's settings.
//
// Locks: the screen lock guards the menus, the position, the time edit and
// the screen image; it is always taken before the drive list's lock (which
// is taken before the writer's), and released before drawing (drawMenus
// takes it itself). No program is run and no file written with it held.
#pragma once

#include "core/DeviceState.h"
#include "panel/NetworkValue.h"
#include "panel/PanelButtons.h"
#include "panel/QVAPainter.h"
#include "platform/CommandRunner.h"

#include <QImage>
#include <QMutex>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class USBListener;

class LcdGui : public PanelButtons {
public:
    struct Options {
        std::shared_ptr<qva::CommandRunner> runner;  // sets the clock
        std::string startupConfigPath;               // written by writeCFG
        QVAPainter::Fonts fonts;
    };
    // The box: the command runner of QVA_ROOT, "/QVA/startup.cfg" and the
    // panel fonts, all through the sandbox root.
    LcdGui(USBListener* usbListener, DeviceState& state, networkValue* network);
    LcdGui(USBListener* usbListener, DeviceState& state, networkValue* network, Options options);
    LcdGui(const LcdGui&) = delete;
    LcdGui& operator=(const LcdGui&) = delete;
    ~LcdGui() = default;

    // Buttons.
    void setSelected(int direction) override;
    void pressOK() override;
    void pressBack() override;
    void pressHome() override;

    // Rebuilds the drive items from the drive list (takes the screen lock).
    void updateUsbList();

    // Drawing, called every 40 ms by the preview updater.
    void drawMenus();
    void GetQImage(QImage* out);
    void SetSDI(const QImage& picture);
    void setAudio(int16_t left, int16_t right);

    // Settings actions the menus end in.
    void startRecord(int index);
    void stopRecord(int index);
    int formatUsb(int index);
    int formatAllUsb();
    void writeCFG();

    // "%dGB"/"%dTB" (mode 1), "%02d:%02d" time left (mode 2), "%d" (mode 3).
    static std::string printInt(int value, int mode, float rate);

    // Where the panel stands, for the web reports and the tests.
    enum class Menu { Main, Standard, DriveList, Record, Info, FormatAll, Drive };
    struct MenuState {
        Menu menu = Menu::Main;
        int selected = 0;
        int selectedDrive = 0;
        int sysTime = 0;  // 0 no time edit, 1 editing the hour, 2 the minute
        int editHour = 0;
        int editMinute = 0;
        float compressionRate = 0;
        std::array<bool, 5> standardMarks{};  // SD, 720p, 1080i input; SD, HD recording
    };
    MenuState menuState() const;

    static constexpr int kScreenWidth = 256;
    static constexpr int kScreenHeight = 64;
    static constexpr int kDrivesPerPage = 5;  // drive list rows below "FORMAT ALL"

private:
    struct Item {
        bool marked = false;  // the chosen entry of a choice group; for a drive, NTFS
        bool busy = false;    // a drive that records
        std::string text;
        int x = 0;
        int y = 0;
        std::optional<Menu> submenu;  // what OK opens from a navigating menu
        int freeSpace = 0;            // drive figures, MiB
        int size = 0;
        int id = -1;
    };
    using Items = std::deque<Item>;

    // standardMenu's two choice groups.
    enum StandardItem { kSdInput, kHd720Input, kHd1080Input, kSdRecording, kHdRecording };

    Items& items(Menu menu) { return menus_[static_cast<size_t>(menu)]; }
    const Items& items(Menu menu) const { return menus_[static_cast<size_t>(menu)]; }
    void buildMenus();

    // All of these run with the screen lock held.
    void rebuildDriveItems();
    bool recordingRunning();  // refreshes the drive items first
    std::vector<int> driveIds() const;
    int driveIndexOf(int id) const;  // -1 when the drive is gone
    void act(bool recording, std::vector<std::string>& clockCommand);
    void actInfo(bool recording, std::vector<std::string>& clockCommand);
    void actFormatAll(bool recording);
    void actDrive();
    void formatDrive(int id);
    int formatAllLocked();

    // Settings changes shared with the web commands; the screen lock held,
    // the caller has already refused them while a recording runs.
    void markInput(int item);
    void setRecordingFormat(bool sd);
    bool chooseInputStandard(int item);
    bool chooseRecordingFormat(int item);
    void toggleComposite();
    void stepAudioSource();
    void stepAudioChannel();

    // Drawing, the screen lock held.
    void drawMain();
    void drawStandard();
    void drawDriveList();
    void drawRecord();
    void drawInfo();
    void drawFormatAll();
    void drawDrive();
    void drawPreview();
    void drawItems();
    void text(const std::string& text, int x, int y, bool inverted = false);
    void line(int x, int y, int w, int h);
    std::string inputText() const;

    USBListener* usb_;
    DeviceState& state_;
    networkValue* network_;
    Options options_;
    QVAPainter painter_;

    mutable QMutex screenLock_;
    std::array<Items, 7> menus_;
    Menu current_ = Menu::Main;
    int selected_ = 0;
    int selectedDrive_ = 1;  // drive list position Back returns to
    int driveMenuId_ = -1;   // the drive the drive menu was opened for
    int8_t sysTime_ = 0;
    int8_t tempH_ = 0;
    int8_t tempM_ = 0;
    uint8_t blinkCounter_ = 0;
    QImage screen_;
    QImage preview_;

    // Read without the screen lock by the web reports.
    std::atomic<float> compressionRate_{21.97f};
    // Written by the preview updater while another thread draws.
    std::atomic<int16_t> levelLeft_{0};
    std::atomic<int16_t> levelRight_{0};
};
