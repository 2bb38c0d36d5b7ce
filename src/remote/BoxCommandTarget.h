// The commands' target on the box: the same operations the front panel uses.
#pragma once

#include "remote/CommandProtocol.h"

class TimeCodeBurner;

class BoxCommandTarget : public CommandTarget {
public:
    // None owned; burner may be null (then "LOGO" only answers).
    BoxCommandTarget(LcdGui* gui, USBListener* usb, networkValue* network, TimeCodeBurner* burner)
        : gui_(gui), usb_(usb), network_(network), burner_(burner) {}

    void updateUsbList() override;
    void redraw() override;
    LcdGui::WebInfo webInfo() override;
    std::deque<usbStick> drives() override;
    float compressionRate() override;
    NetworkSettings network() override;
    int usb(UsbAction action, int drive) override;
    int setInputMode(uint32_t mode) override;
    int setOutputMode(bool sd) override;
    int setChannel(int8_t pair) override;
    int setLocalTime(int hour, int minute) override;
    int setFileName(const char* name) override;
    int setPal(bool pal) override;
    int setDhcp() override;
    int setStaticNetwork(const NetworkSettings& settings) override;
    int setAudio(int source) override;
    int setComposite(bool on) override;
    int setTCBurnIn(int mode) override;
    int setLogoBurning(bool on) override;
    void reloadLogo() override;
    int setLocalDate(const char* date) override;

private:
    LcdGui* gui_;
    USBListener* usb_;
    networkValue* network_;
    TimeCodeBurner* burner_;
};
