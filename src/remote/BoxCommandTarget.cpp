#include "remote/BoxCommandTarget.h"

#include "encode/TimeCodeBurner.h"

#include <QMutexLocker>

void BoxCommandTarget::updateUsbList() { gui_->updateUsbList(); }
void BoxCommandTarget::redraw() { gui_->drawMenus(); }
LcdGui::WebInfo BoxCommandTarget::webInfo() { return gui_->getWebInfo(); }

std::deque<usbStick> BoxCommandTarget::drives() {
    QMutexLocker guard(usb_->lock());
    return *usb_->drives();
}

float BoxCommandTarget::compressionRate() { return gui_->get_compression_rate(); }
NetworkSettings BoxCommandTarget::network() { return network_->get(); }

int BoxCommandTarget::usb(UsbAction action, int drive) {
    const bool all = drive == -1;
    switch (action) {
        case UsbAction::Record: return all ? usb_->StartALLRecord() : usb_->StartRecord(drive);
        case UsbAction::Stop: return all ? usb_->StopALLRecord() : usb_->StopRecord(drive);
        case UsbAction::Format: return all ? usb_->formatALLUSB() : usb_->formatUSB(drive);
    }
    return -1;
}

int BoxCommandTarget::setInputMode(uint32_t mode) { return gui_->set_inputmode(mode); }
int BoxCommandTarget::setOutputMode(bool sd) { return gui_->set_outputmode(sd); }
int BoxCommandTarget::setChannel(int8_t pair) { return gui_->set_channel(pair); }
int BoxCommandTarget::setLocalTime(int hour, int minute) { return gui_->set_localtime(hour, minute); }
int BoxCommandTarget::setFileName(const char* name) { return gui_->changeFileName(name); }
int BoxCommandTarget::setPal(bool pal) { return gui_->setPAL(pal); }
int BoxCommandTarget::setDhcp() { return gui_->setNetworkConfiguration(); }
int BoxCommandTarget::setStaticNetwork(const NetworkSettings& settings) { return gui_->setNetworkConfiguration(settings); }
int BoxCommandTarget::setAudio(int source) { return gui_->setAudio(source); }
int BoxCommandTarget::setComposite(bool on) { return gui_->setComposite(on); }
int BoxCommandTarget::setTCBurnIn(int mode) { return gui_->setTCBurnIn(mode); }
int BoxCommandTarget::setLogoBurning(bool on) { return gui_->setLogoBurning(on); }
void BoxCommandTarget::reloadLogo() {
    if (burner_ != nullptr) burner_->loadPNG();
}
int BoxCommandTarget::setLocalDate(const char* date) { return gui_->set_local_date(date); }
