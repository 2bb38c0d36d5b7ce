// The front panel's menu system, and the one place through which both the
// panel and the web front end change the recorder's settings.
//
// Locks: the screen lock guards the menus, the position and the screen
// image; it is always taken before the drive list's lock, and released
// before drawing (drawMenus takes it itself).
#pragma once

#include "core/DeviceState.h"
#include "panel/NetworkValue.h"
#include "panel/PanelButtons.h"
#include "panel/QVAPainter.h"
#include "platform/CommandRunner.h"

#include <QImage>
#include <QMutex>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

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

private:
    // (members: the menus, the position, the screen, the painter, pointers
    // into the device state)
};
