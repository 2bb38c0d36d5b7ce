// The front panel's menu system, and the one place through which both the
// panel and the web front end change the recorder's settings.
//
// Locks: the screen lock guards the menus, the position, the time edit and
// the screen image; it is always taken before the drive list's lock (which
// is taken before the writer's), and released before drawing (drawMenus
// takes it itself). No program is run and no file written with it held.
#pragma once

#include "core/DeviceState.h"
#include "core/StartupStore.h"
#include "panel/NetworkValue.h"
#include "panel/PanelButtons.h"
#include "panel/QVAPainter.h"
#include "platform/CommandRunner.h"
#include "record/USBListener.h"

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

class LcdGui : public PanelButtons {
public:
    struct Options {
        std::shared_ptr<qva::CommandRunner> runner;  // clock, network, shutdown
        StartupStore* startup;                       // written by writeCFG; outlives the LcdGui
        QVAPainter::Fonts fonts;
        std::string interfacesPath;                  // the network settings file
    };
    // The box: the command runner of QVA_ROOT and the panel fonts, through
    // the sandbox root.
    LcdGui(USBListener* usbListener, DeviceState& state, networkValue* network, StartupStore* startup);
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
    // Stores the settings in the startup file, the capture settings as the
    // card last accepted them (a change is stored once a pass runs with it);
    // false when they could not be (the panel then says so until a later
    // write succeeds).
    bool writeCFG();

    // Settings operations of the panel and the web: 0 done, 1 or -1 refused.
    // Those that change the capture configuration refuse while a recording runs.
    struct WebInfo {
        bool downConvert;
        uint32_t inputMode;
        uint32_t outputMode;  // the mode recorded: the effective mode of the settings
        bool palMode;
        uint16_t driveCount;
        int8_t audioChannel;
        std::string fileName;
        bool studioOptions, composite, analogAudio, aesAudio, embeddedAudio, logoBurning;
        int tcBurnIn;
        int levelLeft = 0, levelRight = 0;  // peak of the last audio packet, 0 to 32767
    };
    int set_inputmode(uint32_t mode);
    int set_outputmode(bool sd);
    int setPAL(bool pal);
    int setComposite(bool on);
    int setAudio(int source);  // 0 embedded, 1 analogue, 2 AES/EBU
    int set_channel(int8_t pair);
    int setLogoBurning(bool on);
    int setTCBurnIn(int mode);
    int changeFileName(const char* name);  // a name of the user's, kept until restart
    void changeFileName();                 // the automatic prefix
    int set_localtime(int hour, int minute);
    int set_local_date(const char* date);
    int factoryReset();
    WebInfo getWebInfo() const;
    float get_compression_rate() const { return compressionRate_.load(); }
    std::deque<usbStick> getUSBDeck() const;

    // Network settings: re-read the file and the interface; write DHCP or a
    // static address (0 done; non-zero refused or not written).
    void checkNetworkConfig();
    int setNetworkConfiguration();
    int setNetworkConfiguration(const NetworkSettings& given);

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

    // Recorded megabytes per minute, for the time-left figures.
    static constexpr float kSdRate = 22.5f;
    static constexpr float kHdRate = 60.0f;

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
    std::optional<int> driveIdAt(int index) const;  // a drive item's id
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

    // Settings operations' recording check with its messages; the lock held.
    bool refuseWhileRecording(const char* operation, const char* busyText, const char* refusal,
                              const char* accepted);

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
    bool formatRefused_ = false;  // FORMAT DRIVE on a recording drive, said until the next press
    static constexpr int kFormatAllYes = 0;
    static constexpr int kFormatAllNo = 1;
    int driveMenuId_ = -1;   // the drive the drive menu was opened for
    int8_t sysTime_ = 0;
    int8_t tempH_ = 0;
    int8_t tempM_ = 0;
    uint8_t blinkCounter_ = 0;
    QImage screen_;
    QImage preview_;

    std::atomic<bool> userFileName_{false};

    // Read without the screen lock by the web reports.
    std::atomic<float> compressionRate_{21.97f};
    // Written by the preview updater while another thread draws.
    std::atomic<int16_t> levelLeft_{0};
    std::atomic<int16_t> levelRight_{0};
};
