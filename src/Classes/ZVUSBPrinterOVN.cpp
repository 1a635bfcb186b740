// The vendor printer's accepted USB IDs, its set-up (merge of saved device information, first probe) and its
// observable values.
#include "Classes/ZVUSBPrinterOVN.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"

using ovn::DispatchQueue;
using ovn::SysLog;
namespace proto = ovn::protocol;

namespace {

constexpr const char kFoundInUpdateModeMessage[] =
    "A printer was unexpectedly found in firmware update mode. Would you like to update the firmware? ";

struct ProductIDs {
    std::mutex mutex;
    ZVUSBPrinter::IndexSet ids{proto::kProductPL25Duplex};
};
ProductIDs& productIDs() {
    static ProductIDs* ids = new ProductIDs();
    return *ids;
}

const char* cstr(const ZVUSBPrinter::Text& t) { return t ? t->c_str() : "nothing"; }

}  // namespace

bool ZVUSBPrinterOVN::isNormalModeStatus(const Text& raw) {
    return raw && raw->size() == 5 &&
           std::all_of(raw->begin(), raw->end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ---------------------------------------------------------------------------------------------------------
// Accepted USB IDs

std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinterOVN::supportedVendorIDs() {
    return IndexSet{proto::kVendorOVN, proto::kVendorOVNAlternate};
}

std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinterOVN::supportedProductIDs() {
    auto& p = productIDs();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.ids;
}

void ZVUSBPrinterOVN::addSupportedProductIDs(const IndexSet& ids) {
    auto& p = productIDs();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.ids.insert(ids.begin(), ids.end());
}

void ZVUSBPrinterOVN::resetSupportedProductIDs() {
    auto& p = productIDs();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.ids = IndexSet{proto::kProductPL25Duplex};
}

std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinterOVN::classSupportedVendorIDs() const { return supportedVendorIDs(); }
std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinterOVN::classSupportedProductIDs() const {
    return supportedProductIDs();
}

// ---------------------------------------------------------------------------------------------------------
// Set-up

std::shared_ptr<ZVUSBPrinterOVN> ZVUSBPrinterOVN::ovnSelf() {
    return std::static_pointer_cast<ZVUSBPrinterOVN>(shared_from_this());
}

bool ZVUSBPrinterOVN::initWithInterfaceInterface(const InterfacePtr& interface, const ServicePtr& service) {
    if (!ZVUSBPrinter::initWithInterfaceInterface(interface, service)) return false;

    const std::string separator(64, '+');
    for (int i = 0; i < 3; ++i) SysLog("%s", separator.c_str());
    const std::string key = keyUSBdevice();
    SysLog("initing device for key %s", key.c_str());

    ovn::DeviceInfoRef saved = deviceInfoForKey(key);
    SysLog("infoDict here is %s", saved->describe().c_str());
    ovn::DeviceInfoRef info = deviceInfoDict();
    if (saved != info) info->merge(*saved);

    // The identity texts come back from the saved information when the device ID did not provide them.
    auto savedManufacturer = saved->getString(QELMOR_ZVPrinterManufacturer);
    auto savedModel = saved->getString(QELMOR_ZVPrinterModel);
    DispatchQueue::main()->async([self = ovnSelf(), savedManufacturer, savedModel] {
        if (!self->manufacturer() && savedManufacturer) self->setManufacturer(savedManufacturer);
        if (!self->model() && savedModel) self->setModel(savedModel);
    });

    probeAtInit();
    return true;
}

bool ZVUSBPrinterOVN::interfaceClosedByOther() {
    if (!probeOwed_.exchange(false)) return false;
    SysLog("another program closed the %s: probing it now\n", descriptionUTF8().c_str());
    probeAtInit();
    return true;
}

void ZVUSBPrinterOVN::probeAtInit() {
    auto self = ovnSelf();
    openInterface([self](IOReturn result) {
        // A printer taken by another program as it arrived (a restart during an update among others) is probed
        // once the other program lets go: its update goes on from there.
        if (result == kIOReturnExclusiveAccess) self->probeOwed_.store(true);
        if (result != kIOReturnSuccess) return;
        auto info = self->deviceInfoDict();
        auto phaseValue = info->get(QELMOR_ZVPrinterDeviceFirmwareStatus);

        if (!phaseValue) {
            // An update an earlier run of a program left unfinished is offered for finishing instead.
            if (self->resumeFromJournal()) {
                self->closeInterface(nullptr);
                return;
            }
            // No update in progress: the status decides between the normal probe and the update offer. The
            // interface stays open for the probe, which closes it; it is closed here when no status comes.
            self->queryPrinterStatus(
                [self](const Text& raw) {
                    if (raw != std::string(proto::kRawStatusFirmwareUpdateMode)) {
                        self->getDeviceCustomInfo();
                        return;
                    }
                    self->showCustomAlertWithTitle(
                        std::string("Attention:"), std::string(kFoundInUpdateModeMessage),
                        std::vector<std::string>{"Ignore", "Update Firmware"}, std::nullopt, ovn::AlertStyle::Critical,
                        nullptr, [self](long response) {
                            if (response == ovn::kAlertSecondButtonReturn) {
                                SysLog("device is in firmware update mode ... uploading firmware");
                                self->uploadFirmware();
                            } else {
                                self->showAlertWithTitle(
                                    std::string("Please power-cycle this printer"),
                                    std::string("Contact customer support if power-cycling does not resolve the issue."),
                                    std::nullopt, nullptr);
                            }
                        });
                },
                [self] { self->closeInterface(nullptr); });
            return;
        }

        DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(true); });
        self->resumeUpdatePhase(ovn::valueAsInteger(*phaseValue).value_or(0), self->inlineGetFirmwareString());
        self->closeInterface(nullptr);
    });
}

void ZVUSBPrinterOVN::resumeUpdatePhase(int64_t phase, const Text& firmware) {
    auto self = ovnSelf();
    auto info = deviceInfoDict();
    // The version is stored at once, so that the steps below see it, and announced for the table.
    auto storeFirmware = [&self, &firmware] {
        performSyncOnMainQueue([&self, &firmware] {
            self->storeAnnounced(QELMOR_ZVPrinterFirmwareVersion, QELMOR_ZVPrinterFirmwareVersion,
                                 firmware ? ovn::Value(*firmware) : ovn::Value());
        });
    };
    storeFirmware();
    SysLog("printer firmware is currently reported as \"%s\"", cstr(firmware));

    if (phase == ZVFirmwareUpdateWaiting) {
        SysLog("found a device waiting for firmware update");
        queryPrinterStatus(
            [self](const Text& raw) {
                if (raw == std::string(proto::kRawStatusFirmwareUpdateMode)) {
                    SysLog("device is in firmware update mode ... uploading firmware");
                    self->uploadFirmware();
                    return;
                }
                SysLog("Bad Status (%s) while waiting for firmware update", cstr(raw));
                // A garbled answer proves nothing: only a status of the normal mode ends the update.
                if (!isNormalModeStatus(raw)) return;
                // Back in normal mode: the restart did not lead into firmware update mode. Nothing was changed,
                // and the update may be started again.
                SysLog("%s restarted without entering firmware update mode", self->printerNameForUser().c_str());
                self->deviceInfoDict()->remove(QELMOR_ZVPrinterDeviceFirmwareStatus);
                self->journalClose("failed");
                self->setInFirmwareUpdate(false);
                self->showAlertWithTitle(std::string(kAlertTitleNoUpdateMode),
                                         self->printerNameForUser() +
                                             " restarted without entering firmware update mode. Its firmware was not "
                                             "changed; you can start the update again.",
                                         std::vector<std::string>{"OK"}, nullptr);
            },
            [self] { self->showNotAnswering("its status was asked for after it restarted for the update"); });
    } else if (phase == ZVFirmwareUpdateRebooting) {
        SysLog("found a device rebooting after firmware update");
        if (firmware == std::string(proto::kIntermediateFirmware)) {
            // The printer restarts once more by itself; the next arrival finishes the update.
            std::this_thread::sleep_for(std::chrono::seconds(1));
        } else {
            Text previous = info->getString(QELMOR_ZVPrinterFirmwareVersionPrevious);
            if (previous && previous != firmware) {
                SysLog("firmware version changed from %s to %s", previous->c_str(), cstr(firmware));
            } else {
                SysLog("firmware version unchanged at %s", cstr(firmware));
            }
            storeFirmware();
            finishFirmwareUpdate();
        }
    } else {
        SysLog("found a device finished with firmware update");
        DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(false); });
        info->remove(QELMOR_ZVPrinterDeviceFirmwareStatus);
        getDeviceCustomInfo();
    }
}

// ---------------------------------------------------------------------------------------------------------
// Observable values

void ZVUSBPrinterOVN::storeAnnounced(const char* notifyKey, const char* dictKey, ovn::Value value) {
    willChangeValueForKey(notifyKey);
    deviceInfoDict()->set(dictKey, std::move(value));
    didChangeValueForKey(notifyKey);
}

ovn::Value ZVUSBPrinterOVN::valueForKey(const std::string& key) const {
    auto text = [](const Text& t) -> ovn::Value {
        if (t) return *t;
        return {};
    };
    if (key == "lifetimeCounter") return text(lifetimeCounter());
    for (const char* colorKey : proto::colorTableKeys()) {
        if (key == colorKey) return text(colorTableValue(key));
    }
    if (key == "usbISerial") return usbISerial();
    if (key == "usbISerialString") return usbISerialString();
    if (key == "newFirmwareVersion") return text(const_cast<ZVUSBPrinterOVN*>(this)->newFirmwareVersion());
    if (key == "image") return text(image());
    ovn::Value workflow = workflowValueForKey(key);
    if (!ovn::isNothing(workflow)) return workflow;
    return ZVUSBPrinter::valueForKey(key);
}
