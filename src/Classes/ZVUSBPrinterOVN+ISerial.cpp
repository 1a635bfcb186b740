// The USB iSerial setting: whether the printer reports a serial-number string in its USB device descriptor.
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/SystemLog.h"

using ovn::SysLog;
namespace proto = ovn::protocol;

bool ZVUSBPrinterOVN::hasISerialSupport() const {
    return proto::hasISerialSupport(idProductValue(), installedFirmwareVersion());
}

bool ZVUSBPrinterOVN::usbISerial() const {
    auto value = deviceInfoDict()->get(QELMOR_OVN_USB_ISerialisSet);
    if (!value) return false;
    if (auto text = ovn::valueAsString(*value)) return proto::boolValueOfText(*text);
    return ovn::valueAsBool(*value).value_or(false);
}

std::string ZVUSBPrinterOVN::usbISerialString() const {
    if (!hasISerialSupport()) return "Unavailable";
    return usbISerial() ? "Enabled" : "Disabled";
}

void ZVUSBPrinterOVN::getUSB_ISerial() {
    if (!hasISerialSupport()) return;
    auto self = ovnSelf();
    openInterface([self](IOReturn result) {
        if (result != kIOReturnSuccess) return;
        self->sendPrinterCommand([self] { self->sendPrinterCommand(proto::kCmdUSBISerialRead); }, nullptr,
                                 [self](PrinterReply reply) {
                                     Text text = proto::replyText(reply);
                                     if (!text) return;
                                     std::string setting = *text;
                                     if (!setting.empty()) setting = std::to_string(proto::intValueOfText(setting));
                                     self->storeAnnounced("usbISerialString", QELMOR_OVN_USB_ISerialisSet, setting);
                                     // The stored value already equals it, so the writer sends nothing; observers
                                     // of "usbISerial" hear of the change.
                                     self->setUsbISerial(proto::boolValueOfText(setting));
                                     SysLog("usbISerial value: %s", setting.c_str());
                                 });
        self->closeInterface(nullptr);
    });
}

void ZVUSBPrinterOVN::setUsbISerial(bool enable) {
    willChangeValueForKey("usbISerial");
    if (enable != usbISerial()) {
        if (hasISerialSupport()) {
            setEnabledUSBSerial(enable);
        } else {
            // Nothing to change on such a printer: no power cycle, and the print queues stay.
            SysLog("USB iSerial setting is not available on %s", descriptionUTF8().c_str());
        }
    }
    didChangeValueForKey("usbISerial");
}

void ZVUSBPrinterOVN::setEnabledUSBSerial(bool enable) {
    auto self = ovnSelf();
    openInterface([self, enable](IOReturn result) {
        if (result != kIOReturnSuccess) {
            self->showPrinterBusyAlert();
            return;
        }
        self->setUSB_ISerial(enable);
        self->closeInterface([self](IOReturn) {
            self->showPowerCycleAlert();
            self->deleteExistingPrinterQueues();
        });
    });
}

void ZVUSBPrinterOVN::setUSB_ISerial(bool enable) {
    if (!hasISerialSupport()) return;
    auto self = ovnSelf();
    openInterface([self, enable](IOReturn result) {
        if (result != kIOReturnSuccess) return;
        auto payload = proto::usbISerialWritePayload(enable);
        self->sendPrinterCommand(proto::kCmdUSBISerialWrite, payload);
        self->getUSB_ISerial();
    });
}
