// The printer registry: USB arrival and removal, the list of printer objects, the selection, start-up entries
// in the user defaults and termination.
#include "Classes/ZVPrinters.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "Classes/ProgramSetup.h"
#include "Classes/OVNFirmwareCatalogue.h"
#include "platform/Bundle.h"
#include "platform/Localization.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "usb/UsbTrace.h"

using ovn::DispatchQueue;
using ovn::StdErr;
using ovn::SysLog;
using ovn::usb::IOIteratorPtr;
using ovn::usb::IOServicePtr;

namespace {

constexpr uint8_t kPrinterInterfaceClass = 7;
constexpr uint8_t kPrinterInterfaceSubClass = 1;

std::mutex gPortMutex;
ovn::usb::IONotificationPortPtr gZVPrintersSharedIONotificationPort;

// Only its address is used: the key under which the main queue is tagged.
const char kMainQueueSpecificKey = 0;

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Class level

ovn::usb::IONotificationPortPtr ZVPrinters::sharedNotificationPort() {
    std::lock_guard<std::mutex> lock(gPortMutex);
    if (gZVPrintersSharedIONotificationPort) return gZVPrintersSharedIONotificationPort;
    auto services = ovn::usb::USBServices::shared();
    if (services) gZVPrintersSharedIONotificationPort = services->IONotificationPortCreate();
    if (!gZVPrintersSharedIONotificationPort) SysLog("failed to add a runloop source for device notifications\n");
    return gZVPrintersSharedIONotificationPort;
}

void ZVPrinters::destroySharedNotificationPort() {
    ovn::usb::IONotificationPortPtr port;
    {
        std::lock_guard<std::mutex> lock(gPortMutex);
        port = std::move(gZVPrintersSharedIONotificationPort);
        gZVPrintersSharedIONotificationPort.reset();
    }
    if (port) port->destroy();
}

void ZVPrinters::initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto main = DispatchQueue::main();
        main->setSpecific(mainQueueSpecificKey(), main.get());
    });
}

const void* ZVPrinters::mainQueueSpecificKey() { return &kMainQueueSpecificKey; }

bool ZVPrinters::isMainQueue() {
    initialize();
    return DispatchQueue::getSpecific(mainQueueSpecificKey()) == DispatchQueue::main().get();
}

// ---------------------------------------------------------------------------------------------------------
// Creation

ZVPrinters::ZVPrinters() = default;

std::shared_ptr<ZVPrinters> ZVPrinters::create() {
    std::shared_ptr<ZVPrinters> registry(new ZVPrinters());
    registry->init();
    return registry;
}

void ZVPrinters::init() {
    initialize();
    notifyPort_ = sharedNotificationPort();
    printerIterator_.reset();
    removedIterator_.reset();
}

ZVPrinters::~ZVPrinters() {
    prepareForTermination();
    SysLog("about to call [super dealloc] in %s\n", "ZVPrinters::dealloc");
}

// ---------------------------------------------------------------------------------------------------------
// Start-up

void ZVPrinters::awakeFromNib() {
    const std::string version = ovn::Bundle::shortVersionString();
    // The build is identified by the same version text: the program has no separate build number.
    char display[256];
    std::snprintf(display, sizeof display, "%s (build %s)", version.c_str(), version.c_str());
    SysLog("display string is %s", display);
    ovn::UserDefaults::standard().setObject(kDisplayVersionKey, std::string(display));
    SysLog("%s", "ZVPrinters::awakeFromNib");
    getPrintingDevices();
}

void ZVPrinters::applicationDidFinishLaunching() {
    const std::string version = ovn::Bundle::shortVersionString();
    if (!version.empty()) ovn::UserDefaults::standard().setObject(kShortVersionKey, version);
}

// ---------------------------------------------------------------------------------------------------------
// Accepted IDs

void ZVPrinters::addAcceptedProductID(uint16_t productID) {
    std::lock_guard<std::mutex> lock(mutex_);
    addedProductIDs_.insert(productID);
}

void ZVPrinters::addAcceptedProductIDs(const IndexSet& productIDs) {
    std::lock_guard<std::mutex> lock(mutex_);
    addedProductIDs_.insert(productIDs.begin(), productIDs.end());
}

ZVPrinters::IndexSet ZVPrinters::acceptedProductIDs() const {
    IndexSet ids = ZVUSBPrinterOVN::supportedProductIDs().value_or(IndexSet{});
    std::lock_guard<std::mutex> lock(mutex_);
    ids.insert(addedProductIDs_.begin(), addedProductIDs_.end());
    return ids;
}

ZVPrinters::IndexSet ZVPrinters::acceptedVendorIDs() const {
    return ZVUSBPrinterOVN::supportedVendorIDs().value_or(IndexSet{});
}

bool ZVPrinters::acceptsInterface(uint8_t interfaceClass, uint8_t interfaceSubClass, uint16_t vendorID,
                                  uint16_t productID) const {
    // In the order class, subclass, vendor, product; a later test is skipped once one fails.
    if (interfaceClass != kPrinterInterfaceClass) return false;
    if (interfaceSubClass != kPrinterInterfaceSubClass) return false;
    if (!acceptedVendorIDs().count(vendorID)) return false;
    return acceptedProductIDs().count(productID) != 0;
}

ZVPrinters::IndexSet ZVPrinters::productIDsFromUserDefaults() {
    IndexSet ids;
    auto value = ovn::UserDefaults::standard().objectForKey(kAdditionalProductIDsKey);
    if (!value || ovn::isNothing(*value)) return ids;
    auto addText = [&ids](const std::string& text) {
        std::string error;
        if (auto id = ovn::program::parseProductID(text, &error))
            ids.insert(*id);
        else
            ovn::WarnUser("user defaults at " + ovn::UserDefaults::standard().location() + ": ignoring " +
                                        kAdditionalProductIDsKey + " entry \"" + text + "\": " + error);
    };
    if (auto list = std::get_if<std::vector<std::string>>(&*value)) {
        for (const auto& text : *list) addText(text);
    } else if (auto text = std::get_if<std::string>(&*value)) {
        addText(*text);
    } else if (auto number = std::get_if<int64_t>(&*value)) {
        if (*number >= 0 && *number <= 0xFFFF)
            ids.insert(static_cast<uint16_t>(*number));
        else
            ovn::WarnUser("user defaults at " + ovn::UserDefaults::standard().location() + ": ignoring " +
                                        kAdditionalProductIDsKey + " entry " + std::to_string(*number) +
                                        ": not a USB product ID");
    } else {
        ovn::WarnUser("user defaults at " + ovn::UserDefaults::standard().location() + ": ignoring " +
                                    kAdditionalProductIDsKey + ": not a list of product IDs");
    }
    return ids;
}

// ---------------------------------------------------------------------------------------------------------
// Registration

void ZVPrinters::getPrintingDevices() {
    addAcceptedProductIDs(productIDsFromUserDefaults());

    auto services = ovn::usb::USBServices::shared();
    if (!notifyPort_ || !services) return;
    if (arrivalNotification_ || removalNotification_) return;  // registered already

    ovn::usb::MatchingDict matching;
    matching.serviceClass = "IOUSBInterface";
    matching.bInterfaceClass = kPrinterInterfaceClass;
    matching.bInterfaceSubClass = kPrinterInterfaceSubClass;

    std::weak_ptr<ZVPrinters> weak = weak_from_this();
    IOReturn kr = services->IOServiceAddMatchingNotification(
        notifyPort_, ovn::usb::kIOMatchedNotification, matching,
        [weak](const IOIteratorPtr& iterator) {
            if (auto self = weak.lock()) newPrinterCallback(self.get(), iterator);
        },
        &printerIterator_, &arrivalNotification_);
    if (kr == kIOReturnSuccess && printerIterator_) newPrinterCallback(this, printerIterator_);

    kr = services->IOServiceAddMatchingNotification(
        notifyPort_, ovn::usb::kIOTerminatedNotification, matching,
        [weak](const IOIteratorPtr& iterator) {
            if (auto self = weak.lock()) deviceRemovedCallback(self.get(), iterator);
        },
        &removedIterator_, &removalNotification_);
    if (kr == kIOReturnSuccess && removedIterator_) deviceRemovedCallback(this, removedIterator_);
}

bool ZVPrinters::hasArrivalRegistration() const { return arrivalNotification_ != nullptr; }
bool ZVPrinters::hasRemovalRegistration() const { return removalNotification_ != nullptr; }

namespace {

// Drains an iterator, resetting it first whenever it reports that it was invalidated.
template <class Handle>
void drainIterator(const IOIteratorPtr& iterator, Handle handle) {
    for (;;) {
        if (!iterator->IOIteratorIsValid()) iterator->IOIteratorReset();
        IOServicePtr service = iterator->IOIteratorNext();
        if (!service) break;
        handle(service);
    }
}

}  // namespace

void newPrinterCallback(ZVPrinters* refcon, const IOIteratorPtr& iterator) {
    if (!refcon || !iterator) return;
    // The registry stays alive while the callback runs.
    std::shared_ptr<ZVPrinters> keep = refcon->weak_from_this().lock();
    drainIterator(iterator, [refcon](const IOServicePtr& service) { refcon->handleArrivedService(service); });
}

void deviceRemovedCallback(ZVPrinters* refcon, const IOIteratorPtr& iterator) {
    if (!refcon || !iterator) return;
    std::shared_ptr<ZVPrinters> keep = refcon->weak_from_this().lock();
    drainIterator(iterator, [refcon](const IOServicePtr& service) { refcon->removedDeviceObject(service); });
}

void ZVPrinters::handleArrivedService(const IOServicePtr& service) {
    auto services = ovn::usb::USBServices::shared();
    if (!services) return;

    ovn::usb::IOUSBInterfaceInterfacePtr interface;
    bool pluginFailed = false;
    IOReturn kr = services->CreateInterfaceInterface(service, &interface, &pluginFailed);
    if (pluginFailed) StdErr("ERROR: IOCreatePlugInInterfaceForService() returned [%d]\n", kr);
    if (kr != kIOReturnSuccess || !interface) {
        StdErr("ERROR: QueryInterface() returned [%d]\n", kr);
        return;
    }

    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint16_t vendorID = 0;
    uint16_t productID = 0;
    if ((kr = interface->GetInterfaceClass(&interfaceClass)) != kIOReturnSuccess) {
        SysLog("GetInterfaceClass() returned [%d]\n", kr);
        return;
    }
    if ((kr = interface->GetInterfaceSubClass(&interfaceSubClass)) != kIOReturnSuccess) {
        SysLog("GetInterfaceSubClass() returned [%d]\n", kr);
        return;
    }
    if ((kr = interface->GetDeviceVendor(&vendorID)) != kIOReturnSuccess) {
        SysLog("GetDeviceVendor() returned [%d]\n", kr);
        return;
    }
    if ((kr = interface->GetDeviceProduct(&productID)) != kIOReturnSuccess) {
        SysLog("GetDeviceProduct() returned [%d]\n", kr);
        return;
    }

    if (acceptsInterface(interfaceClass, interfaceSubClass, vendorID, productID)) {
        PrinterFactory factory;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            factory = factory_;
        }
        PrinterPtr printer =
            factory ? factory(interface, service) : ZVUSBPrinter::create<ZVUSBPrinterOVN>(interface, service);
        if (printer) {
            addPrinter(printer);
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = tracked_.find(printer.get());
            if (it != tracked_.end()) it->second.service = service;
        }
    } else if (interfaceClass == kPrinterInterfaceClass && interfaceSubClass != kPrinterInterfaceSubClass) {
        SysLog("Found a device that is a printer by class, but not by subclass; subClass=%d\n", interfaceSubClass);
    } else if (interfaceClass == kPrinterInterfaceClass && acceptedVendorIDs().count(vendorID)) {
        noteUnaccepted(interface, service, vendorID, productID);
    }
    // The interface and the service are released with the local references; the printer holds its own.
}

void ZVPrinters::noteUnaccepted(const ovn::usb::IOUSBInterfaceInterfacePtr& interface, const IOServicePtr& service,
                                uint16_t vendorID, uint16_t productID) {
    UnacceptedPrinter seen;
    seen.vendorID = vendorID;
    seen.productID = productID;
    interface->GetLocationID(&seen.locationID);
    if (const auto* row = ovn::OVNFirmwareCatalogue::rowForProductID(productID)) seen.model = row->model;
    // Not logged here: the programs tell the user (unacceptedPrinters) where it helps.
    std::lock_guard<std::mutex> lock(mutex_);
    unaccepted_.emplace_back(service, std::move(seen));
}

std::vector<ZVPrinters::UnacceptedPrinter> ZVPrinters::unacceptedPrinters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<UnacceptedPrinter> seen;
    for (const auto& entry : unaccepted_) seen.push_back(entry.second);
    return seen;
}

std::string ZVPrinters::unacceptedPrinterText(const UnacceptedPrinter& printer) {
    char id[8];
    std::snprintf(id, sizeof id, "0x%.4X", unsigned{printer.productID});
    const std::string name = "OVN " + (printer.model.empty() ? std::string("printer") : printer.model);
    std::string text = ovn::Localized("%1 (USB product ID %2, USB device %3) is not accepted: start the program "
                                      "with --accept-product %2 to use it");
    const std::pair<const char*, std::string> fields[] = {
        {"%1", name},
        {"%2", id},
        {"%3", ovn::usb::UsbTrace::deviceKey(printer.vendorID, printer.productID, printer.locationID)}};
    for (const auto& [mark, value] : fields)
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
            text.replace(at, 2, value);
    return text;
}

void ZVPrinters::setPrinterFactory(PrinterFactory factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    factory_ = std::move(factory);
}

// ---------------------------------------------------------------------------------------------------------
// Adding and removing

void ZVPrinters::addPrinter(const PrinterPtr& printer) {
    if (!printer) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!printers_) printers_ = PrinterList{};
    }
    printer->probe();

    std::weak_ptr<ZVPrinters> weak = weak_from_this();
    ZVUSBPrinterOVN* raw = printer.get();
    Tracked tracked;
    tracked.printer = printer;
    tracked.service = printer->deviceObject();
    tracked.firmwareObservation = printer->observe(
        QELMOR_ZVPrinterFirmwareVersion,
        [weak, raw](const std::string& key, const ovn::KeyValueChange& change) {
            if (auto self = weak.lock()) self->observeValueForKeyPath(key, raw, change, raw);
        },
        ovn::Observable::NewValue);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tracked_[raw] = std::move(tracked);
    }

    DispatchQueue::main()->async([weak, printer] {
        if (auto self = weak.lock()) self->appendPrinter(printer);
    });
}

void ZVPrinters::appendPrinter(const PrinterPtr& printer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = tracked_.find(printer.get());
        // Removed (or the registry terminated) before its insertion came round: it is not listed.
        if (it == tracked_.end() || it->second.printer.lock() != printer || !printers_) return;
        it->second.listed = true;
    }
    willChangeValueForKey(kPrintersKey);
    int64_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printers_->push_back(printer);
        index = static_cast<int64_t>(printers_->size()) - 1;
    }
    didChangeValueForKey(kPrintersKey);
    // Inserted objects are selected.
    changeSelection(index);
}

void ZVPrinters::removedDeviceObject(const IOServicePtr& service) {
    SysLog("a printer object was removed ... checking for matching device");
    PrinterPtr match;
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto matches = [&service, this](const PrinterPtr& printer) {
            if (ovn::usb::IOObjectIsEqualTo(printer->deviceObject(), service)) return true;
            // The service it was created for, also while its own copy is not stored yet.
            auto it = tracked_.find(printer.get());
            return it != tracked_.end() && it->second.service && ovn::usb::IOObjectIsEqualTo(it->second.service, service);
        };
        if (printers_) {
            for (const auto& printer : *printers_) {
                // A printer no longer tracked is on its way out of the list already.
                if (tracked_.count(printer.get()) && matches(printer)) {
                    match = printer;
                    listed = true;
                    break;
                }
            }
        }
        if (!match) {
            // A printer whose insertion is still queued.
            for (const auto& [raw, tracked] : tracked_) {
                auto printer = tracked.printer.lock();
                if (printer && !tracked.listed && matches(printer)) {
                    match = printer;
                    break;
                }
            }
        }
    }
    if (!match) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::erase_if(unaccepted_, [&service](const auto& entry) {
            return ovn::usb::IOObjectIsEqualTo(entry.first, service);
        });
    }
    if (!match) {
        SysLog("failed to match a printer object for device %x", ovn::usb::IOObjectHandle(service));
        return;
    }
    SysLog("removing %s", match->descriptionUTF8().c_str());
    releaseTracked(match, listed);
}

void ZVPrinters::releaseTracked(const PrinterPtr& printer, bool listed) {
    {
        ovn::ObservationToken observation;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = tracked_.find(printer.get());
        if (it != tracked_.end()) {
            observation = std::move(it->second.firmwareObservation);
            tracked_.erase(it);
        }
        // The observation ends here (the token's destructor), outside nothing but our own lock.
    }
    printer->prepareForRelease();
    if (!listed) return;

    // Behind everything already queued for the printer (the handle release included), then on the main queue.
    std::weak_ptr<ZVPrinters> weak = weak_from_this();
    auto unlist = [weak, printer] {
        DispatchQueue::main()->async([weak, printer] {
            if (auto self = weak.lock()) self->unlistPrinter(printer);
        });
    };
    if (auto queue = printer->printerCommandQueue())
        queue->async(unlist);
    else
        unlist();
}

void ZVPrinters::unlistPrinter(const PrinterPtr& printer) {
    int64_t removedIndex = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!printers_) return;
        auto it = std::find(printers_->begin(), printers_->end(), printer);
        if (it == printers_->end()) return;
        removedIndex = it - printers_->begin();
    }
    willChangeValueForKey(kPrintersKey);
    int64_t newSelection;
    bool selectionMoved;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printers_->erase(printers_->begin() + removedIndex);
        const int64_t count = static_cast<int64_t>(printers_->size());
        newSelection = selectionIndex_;
        if (selectionIndex_ > removedIndex) {
            newSelection = selectionIndex_ - 1;  // the same printer, one place up
        } else if (selectionIndex_ == removedIndex) {
            // The selection is never left empty while printers are listed.
            newSelection = removedIndex < count ? removedIndex : count - 1;
        }
        selectionMoved = selectionIndex_ == removedIndex;
    }
    didChangeValueForKey(kPrintersKey);
    if (selectionMoved) {
        // The index may be the same while the printer under it is another one: always announce.
        willChangeValueForKey(kSelectionIndexKey);
        willChangeValueForKey(kSelectedPrinterKey);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            selectionIndex_ = newSelection;
        }
        didChangeValueForKey(kSelectedPrinterKey);
        didChangeValueForKey(kSelectionIndexKey);
    } else if (newSelection != selectionIndex()) {
        willChangeValueForKey(kSelectionIndexKey);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            selectionIndex_ = newSelection;
        }
        didChangeValueForKey(kSelectionIndexKey);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Firmware-version observation and selection

void ZVPrinters::observeValueForKeyPath(const std::string& keyPath, ovn::Observable* object,
                                        const ovn::KeyValueChange& change, void* context) {
    (void)object;
    (void)change;
    SysLog("%s %s", "ZVPrinters::observeValueForKeyPath", keyPath.c_str());
    if (keyPath != QELMOR_ZVPrinterFirmwareVersion) return;
    // The printer announcing the change is alive now; only a weak reference goes to the main queue.
    std::weak_ptr<ZVUSBPrinterOVN> printer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = tracked_.find(static_cast<const ZVUSBPrinterOVN*>(context));
        if (it == tracked_.end()) return;
        printer = it->second.printer;
    }
    std::weak_ptr<ZVPrinters> weak = weak_from_this();
    DispatchQueue::main()->async([weak, printer] {
        auto self = weak.lock();
        auto target = printer.lock();
        if (self && target) self->setSelectedPrinter(target);
    });
}

ZVPrinters::PrinterList ZVPrinters::printers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printers_ ? *printers_ : PrinterList{};
}

void ZVPrinters::setPrinters(const PrinterList& printers) {
    (void)printers;
    SysLog("inside %s", "ZVPrinters::setPrinters");
}

ZVPrinters::PrinterPtr ZVPrinters::printerWithKeyUSBdevice(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!printers_) return nullptr;
    for (const auto& printer : *printers_) {
        if (printer->keyUSBdevice() == key) return printer;
    }
    return nullptr;
}

ZVPrinters::PrinterPtr ZVPrinters::selectedPrinter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!printers_ || selectionIndex_ < 0 || selectionIndex_ >= static_cast<int64_t>(printers_->size()))
        return nullptr;
    return (*printers_)[static_cast<size_t>(selectionIndex_)];
}

int64_t ZVPrinters::selectionIndex() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return selectionIndex_;
}

void ZVPrinters::setSelectedPrinter(const PrinterPtr& printer) {
    int64_t index = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!printers_ || !printer) return;
        auto it = std::find(printers_->begin(), printers_->end(), printer);
        if (it == printers_->end()) return;
        index = it - printers_->begin();
    }
    changeSelection(index);
}

void ZVPrinters::setSelectionIndex(int64_t index) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!printers_ || index < 0 || index >= static_cast<int64_t>(printers_->size())) return;
    }
    changeSelection(index);
}

void ZVPrinters::changeSelection(int64_t index) {
    if (selectionIndex() == index) return;
    willChangeValueForKey(kSelectionIndexKey);
    willChangeValueForKey(kSelectedPrinterKey);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        selectionIndex_ = index;
    }
    didChangeValueForKey(kSelectedPrinterKey);
    didChangeValueForKey(kSelectionIndexKey);
}

ovn::Value ZVPrinters::valueForKey(const std::string& key) const {
    if (key == kPrintersKey) return static_cast<int64_t>(printers().size());
    if (key == kSelectionIndexKey) return selectionIndex();
    if (key == kSelectedPrinterKey) {
        if (auto printer = selectedPrinter()) return printer->keyUSBdevice();
        return {};
    }
    return {};
}

// ---------------------------------------------------------------------------------------------------------
// Termination

bool ZVPrinters::applicationShouldTerminate() {
    SysLog("inside %s\n", "ZVPrinters::applicationShouldTerminate");
    prepareForTermination();
    return true;
}

void ZVPrinters::prepareForTermination() {
    SysLog("inside %s\n", "ZVPrinters::prepareForTermination");
    bool hadList;
    std::map<const ZVUSBPrinterOVN*, Tracked> tracked;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hadList = printers_.has_value() && !terminated_;
        terminated_ = true;
        // Nothing of the registry reacts to the printers any more; insertions still queued are dropped.
        tracked.swap(tracked_);
    }
    tracked.clear();

    if (hadList) {
        std::weak_ptr<ZVPrinters> weak = weak_from_this();
        if (auto self = weak.lock()) {
            DispatchQueue::main()->async([weak] {
                auto registry = weak.lock();
                if (!registry) return;
                registry->willChangeValueForKey(kPrintersKey);
                registry->willChangeValueForKey(kSelectionIndexKey);
                registry->willChangeValueForKey(kSelectedPrinterKey);
                {
                    std::lock_guard<std::mutex> lock(registry->mutex_);
                    registry->printers_.reset();
                    registry->selectionIndex_ = -1;
                }
                registry->didChangeValueForKey(kSelectedPrinterKey);
                registry->didChangeValueForKey(kSelectionIndexKey);
                registry->didChangeValueForKey(kPrintersKey);
            });
        } else {
            // From the destructor: nobody can be told any more.
            std::lock_guard<std::mutex> lock(mutex_);
            printers_.reset();
            selectionIndex_ = -1;
        }
    }

    if (notifyPort_) {
        destroySharedNotificationPort();
        notifyPort_.reset();
    }
    if (arrivalNotification_) {
        arrivalNotification_->IOObjectRelease();
        arrivalNotification_.reset();
    }
    printerIterator_.reset();
    if (removalNotification_) {
        removalNotification_->IOObjectRelease();
        removalNotification_.reset();
    }
    removedIterator_.reset();
}
