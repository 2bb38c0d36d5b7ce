// The picoLCD 256x64 front panel: LcdController uploads the screen picture,
// LcdListener runs the button thread (InputThread) that turns key-state
// reports into calls on the menu system.
#pragma once

#include "panel/PanelButtons.h"
#include "platform/AlignedBuffer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class LcdController;

// The button loop: opens the controller's device, reads key reports and
// forwards each press; reopens once a second while the device is missing or
// lost. Returns only when the controller is being destroyed.
void InputThread(LcdController* controller);

// Owns the button thread of one controller and joins it when destroyed.
class LcdListener {
public:
    explicit LcdListener(LcdController* controller);
    ~LcdListener();
    LcdListener(const LcdListener&) = delete;
    LcdListener& operator=(const LcdListener&) = delete;

private:
    std::thread thread_;
};

class LcdController {
public:
    // Does not touch the device; the button thread starts right away and first
    // opens the device a second later.
    LcdController(const char* device, int width, int height, PanelButtons* gui);
    ~LcdController();  // stops and joins the button thread
    LcdController(const LcdController&) = delete;
    LcdController& operator=(const LcdController&) = delete;

    // One full-screen RGB image (3 bytes a pixel, rows back to back); only
    // what changed since the last frame shown is uploaded, except after the
    // device was (re)opened: the controllers are switched on and get the
    // whole screen. Called from one thread (the preview updater).
    void DrawRGBBuffer(const unsigned char* rgb);

    // Each opens the device for its one report; safe alongside drawing.
    void SetContrast(unsigned char value);
    void SetBacklightStrength(unsigned char value);
    void SetBacklight(bool on);

    void buttonUp();
    void buttonDown();
    void buttonOK();
    void buttonHome();
    void buttonBack();

    const std::string& devicePath() const { return devicePath_; }

    // For the button thread: the device went away and is back. The panel may
    // have been replugged and be dark, so the next frame is uploaded whole.
    void deviceReturned() { deviceReturned_ = true; }

    // For the button thread: waits up to duration; false once the controller
    // is being destroyed (then at once).
    bool pause(std::chrono::milliseconds duration);
    bool stopping();

private:
    void pack(const unsigned char* rgb);
    bool sendCommands(int fd, unsigned char cs, unsigned char first, unsigned char second);
    bool sendData(int fd, unsigned char cs, const unsigned char* bytes, const char* what);
    bool send(int fd, size_t length, const char* what);
    void sendSmallReport(unsigned char code, unsigned char value, const char* what);

    PanelButtons* const gui_;
    const std::string devicePath_;
    const int width_;
    const int height_;
    qva::AlignedBuffer<unsigned char> currentFrame_;
    qva::AlignedBuffer<unsigned char> previousFrame_;
    qva::AlignedBuffer<unsigned char> commandBuffer_;
    // Drawing thread only. displayCurrent_: the controllers were set up and
    // hold the previous frame (false at first and after a failed open or
    // write). outageReported_: a failed open was logged, its end is not yet.
    bool displayCurrent_ = false;
    bool outageReported_ = false;
    std::atomic<bool> deviceReturned_{false};  // set by the button thread

    std::mutex stopLock_;
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;  // under stopLock_

    LcdListener listener_;  // last: the thread starts once everything above exists, stops first
};
