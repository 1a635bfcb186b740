// Interface ownership: handles, exclusive open and close, pipe discovery, the interest callback and the
// status line it drives.
#include <cstring>

#include "Classes/ZVUSBPrinter.h"
#include "platform/Localization.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"

using ovn::SysLog;
using ovn::StdErr;
using namespace ovn::usb;

namespace {
int handleValue(const IOServicePtr& service) { return static_cast<int>(IOObjectHandle(service)); }
}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Open and close

IOReturn ZVUSBPrinter::openInterface() {
    if (state_.load() == kInterfaceOpen) return kIOReturnSuccess;

    InterfacePtr interface = interfaceInterface();
    if (!interface) return kIOReturnNoDevice;  // released, or never given: nothing to open

    interfaceStatus_.store(kInterfaceOpening);
    state_.store(kInterfaceOpening);

    IOReturn result = interface->USBInterfaceOpenSeize();
    if (result == kIOReturnExclusiveAccess) {
        SysLog("Another app has the printer USB interface open for exclusive access.\n");
        SysLog("Waiting for USB interface on device %.8x to be closed...\n", IOObjectHandle(deviceObject()));
        SysLog("The printer is busy.\n");
        setPrinterStatus("In use by other application");
        performSyncOnMainQueue([this] { setOwnershipValue(kOwnedByOther); });
    } else if (result == kIOReturnSuccess) {
        performSyncOnMainQueue([this] {
            interfaceStatus_.store(kInterfaceOpen);
            state_.store(kInterfaceOpen);
            setOwnershipValue(kOwnedByUs);
        });
        SysLog("The %s is open.\n", descriptionUTF8().c_str());
        getPipes();
    }
    return result;
}

void ZVUSBPrinter::openInterface(const ResultCompletion& completion) {
    performInlineOnCommandQueue([this, completion] {
        IOReturn result = openInterface();
        if (completion) completion(result);
    });
}

void ZVUSBPrinter::closeInterface(const ResultCompletion& completion) {
    runOnCommandQueueAlways([this, completion] {
        IOReturn result = kIOReturnSuccess;
        if (interfaceStatus_.load() == kInterfaceOpen) {
            InterfacePtr interface = interfaceInterface();
            result = interface ? interface->USBInterfaceClose() : kIOReturnNoDevice;
            if (result != kIOReturnSuccess)
                SysLog("close interface returned error %s\n", strForIOReturn(result));
            else
                SysLog("The %s was closed.\n", descriptionUTF8().c_str());
        }
        interfaceStatus_.store(kInterfaceClosed);
        state_.store(kInterfaceClosed);
        performSyncOnMainQueue([this] {
            if (isOwned_.load() != kNotOwned) setOwnershipValue(kNotOwned);
        });
        if (completion) completion(result);
    });
}

void ZVUSBPrinter::setOwnershipValue(int64_t value) {
    willChangeValueForKey("isOwned");
    isOwned_.store(value);
    didChangeValueForKey("isOwned");
}

void ZVUSBPrinter::setIsOwned(int64_t value) {
    int64_t current = isOwned_.load();
    if (value != kNotOwned && current == kNotOwned) {
        openInterface(nullptr);
        return;
    }
    bool reevaluate = value == kOwnedByUs && current == kOwnedByOther;
    closeInterface(nullptr);
    if (reevaluate) usbInterfaceInterestCallback(this, deviceObject(), kIOMessageServiceIsAttemptingOpen, nullptr);
}

bool ZVUSBPrinter::isInterfaceOpen() const {
    return state_.load() == kInterfaceOpen && interfaceStatus_.load() == kInterfaceOpen;
}
bool ZVUSBPrinter::willOpenInterface() const {
    return state_.load() == kInterfaceOpening && interfaceStatus_.load() == kInterfaceOpening;
}
bool ZVUSBPrinter::didOpenInterface() const {
    return state_.load() == kInterfaceOpening && interfaceStatus_.load() == kInterfaceOpen;
}

// ---------------------------------------------------------------------------------------------------------
// Pipes

void ZVUSBPrinter::getPipes() {
    performInlineOnCommandQueue([this] {
        InterfacePtr interface = interfaceInterface();
        if (!interface) return;
        uint8_t count = 0;
        IOReturn result = interface->GetNumEndpoints(&count);
        if (result != kIOReturnSuccess) {
            SysLog("failure for GetNumEndpoints on the open USB device; error=[%d]\n", result);
            return;
        }
        for (unsigned pipe = 1; pipe <= count; ++pipe) {
            uint8_t direction = 0, number = 0, transferType = 0, interval = 0;
            uint16_t maxPacketSize = 0;
            result = interface->GetPipeProperties(static_cast<uint8_t>(pipe), &direction, &number, &transferType,
                                                  &maxPacketSize, &interval);
            if (result != kIOReturnSuccess || transferType != kUSBBulk) continue;
            if (direction == kUSBOut)
                bulkOUT_.store(static_cast<uint8_t>(pipe));
            else if (direction == kUSBIn)
                bulkIN_.store(static_cast<uint8_t>(pipe));
        }
    });
}

// ---------------------------------------------------------------------------------------------------------
// Handles

ZVUSBPrinter::ServicePtr ZVUSBPrinter::deviceObject() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceObject_;
}

ZVUSBPrinter::InterfacePtr ZVUSBPrinter::interfaceInterface() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iInterface_;
}

IONotificationPortPtr ZVUSBPrinter::notifyPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notifyPort_;
}

void ZVUSBPrinter::setDeviceObject(const ServicePtr& service) {
    SysLog("%s (%d)", "ZVUSBPrinter::setDeviceObject", handleValue(service));
    performInlineOnCommandQueue([this, service] {
        SysLog("%s (%d) --- on command queue", "ZVUSBPrinter::setDeviceObject", handleValue(service));
        applyDeviceObject(service);
    });
}

void ZVUSBPrinter::applyDeviceObject(const ServicePtr& service) {
    ServicePtr previous = deviceObject();
    if (IOObjectIsEqualTo(service, previous)) {
        SysLog("FAILED %s (%d) --- oddly it was somehow already set", "ZVUSBPrinter::setDeviceObject",
               handleValue(service));
        return;
    }

    IONotificationPtr interest, busy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interest = std::move(interestNotification_);
        busy = std::move(busyNotification_);
    }
    for (IONotificationPtr* notification : {&interest, &busy}) {
        if (!*notification) continue;
        IOReturn result = (*notification)->IOObjectRelease();
        if (result != kIOReturnSuccess)
            SysLog("%s error [0x%.2X] trying to release a notification object in %s line %d", strForIOReturn(result),
                   static_cast<unsigned>(result), "ZVUSBPrinter::setDeviceObject", __LINE__);
        notification->reset();
    }

    if (service) {
        SysLog("setting new %s class IOService object\n", service->className().c_str());
        IONotificationPtr registration;
        auto services = USBServices::shared();
        auto port = notifyPort();
        if (services && port) {
            std::weak_ptr<ZVUSBPrinter> weak = weak_from_this();
            IOReturn result = services->IOServiceAddInterestNotification(
                port, service, kIOGeneralInterest,
                [weak](const IOServicePtr& from, uint32_t messageType, void* argument) {
                    if (auto printer = weak.lock()) usbInterfaceInterestCallback(printer.get(), from, messageType, argument);
                },
                &registration);
            if (result != kIOReturnSuccess) registration.reset();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            interestNotification_ = std::move(registration);
        }
        IOReturn opened = openInterface();
        closeInterface(nullptr);
        if (opened != kIOReturnExclusiveAccess) state_.store(kInterfaceProbed);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    deviceObject_ = service;
}

void ZVUSBPrinter::setInterfaceInterface(const InterfacePtr& interface) {
    if (interface == interfaceInterface()) return;
    performInlineOnCommandQueue([this, interface] { applyInterfaceInterface(interface); });
}

void ZVUSBPrinter::applyInterfaceInterface(const InterfacePtr& interface) {
    if (interface == interfaceInterface()) return;
    if (interface) {
        uint32_t location = 0;
        uint16_t vendor = 0, product = 0;
        IOReturn result = interface->GetLocationID(&location);
        if (result == kIOReturnSuccess)
            locationID_.store(location);
        else
            SysLog("GetLocationID() returned %s [%.8x]\n", strForIOReturn(result), static_cast<uint32_t>(result));
        result = interface->GetDeviceVendor(&vendor);
        if (result == kIOReturnSuccess)
            idVendor_.store(vendor);
        else
            SysLog("GetDeviceVendor() returned %s [%.8x]\n", strForIOReturn(result), static_cast<uint32_t>(result));
        result = interface->GetDeviceProduct(&product);
        if (result == kIOReturnSuccess)
            idProduct_.store(product);
        else
            SysLog("GetDeviceProduct() returned %s [%.8x]\n", strForIOReturn(result), static_cast<uint32_t>(result));
    }
    InterfacePtr previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = std::move(iInterface_);
        iInterface_ = interface;
    }
    previous.reset();  // drops our reference on the old handle
    if (interface) {
        getUSBProductString();
        getUSBSerialNumberString();
        getUSBVendorString();
    }
}

void ZVUSBPrinter::setDeviceInterface(const DevicePtr& device) {
    performInlineOnCommandQueue([this, device] {
        DevicePtr previous;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (device == dInterface_) return;
            previous = std::move(dInterface_);
            dInterface_ = device;
        }
    });
}

ZVUSBPrinter::DevicePtr ZVUSBPrinter::deviceInterface() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dInterface_) return dInterface_;
    }
    InterfacePtr interface = interfaceInterface();
    if (!interface) return nullptr;
    IOServicePtr deviceService = interface->GetDevice();
    if (deviceService) {
        auto services = USBServices::shared();
        DevicePtr device;
        bool pluginFailed = false;
        IOReturn result = services ? services->CreateDeviceInterface(deviceService, &device, &pluginFailed)
                                   : kIOReturnNoResources;
        if (!services || pluginFailed) {
            StdErr("ERROR: IOCreatePlugInInterfaceForService() returned (%s)\n", strForIOReturn(result));
            return nullptr;
        }
        if (result != kIOReturnSuccess || !device) {
            StdErr("ERROR: Failed to get device Interface with Error(%s)\n", strForIOReturn(result));
        } else if (isPrinterCommandQueue()) {
            setDeviceInterface(device);  // runs at once here
        } else {
            // Off the command queue the store is queued; this call answers what is stored now: nothing.
            setDeviceInterface(device);
            return nullptr;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return dInterface_;
}

// ---------------------------------------------------------------------------------------------------------
// Interest messages

void usbInterfaceInterestCallback(ZVUSBPrinter* printer, const IOServicePtr& service, uint32_t messageType,
                                  void* messageArgument) {
    if (!printer) return;
    SysLog("%s %s(%x); arg = %p\n", printer->descriptionUTF8().c_str(), strForIOMessage(messageType), messageType,
           messageArgument);

    const bool firmwareUpdate = printer->inFirmwareUpdate();
    auto showStatus = [&](const char* english) {
        if (!firmwareUpdate) printer->setStatus(ovn::Localized(english));
    };

    switch (messageType) {
    case kIOMessageServiceIsTerminated:
        SysLog("%s (device %.8x) was removed\n", printer->descriptionUTF8().c_str(), IOObjectHandle(service));
        ZVUSBPrinter::setDeviceInfo(printer->deviceInfoDict(), printer->keyUSBdevice());
        break;
    case kIOMessageServiceWasClosed:
        if (printer->interfaceClosedByOther()) break;
        if (printer->deviceInfoDict()->count() == 0) break;
        if (printer->willOpenInterface())
            printer->openInterface();
        else
            showStatus("USB Available");
        break;
    case kIOMessageServiceIsAttemptingOpen:
        if (printer->didOpenInterface()) {
            showStatus("USB Open");
            printer->setState(ZVUSBPrinter::kInterfaceOpen);
        } else if (printer->willOpenInterface()) {
            showStatus("Waiting for USB");
        } else if (printer->isInterfaceOpen()) {
            showStatus("USB Open");
        } else if (printer->state() != ZVUSBPrinter::kInterfaceProbed) {
            showStatus("USB Busy");
        } else {
            printer->setState(ZVUSBPrinter::kInterfaceClosed);
        }
        break;
    case kIOMessageServiceBusyStateChange:
        break;
    default:
        printer->setStatus(std::string("OK"));
        break;
    }
}
