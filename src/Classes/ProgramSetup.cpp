#include "Classes/ProgramSetup.h"

#include "Classes/ZVPrinters.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/SystemLog.h"

#include <cctype>
#include <charconv>

#include "usb/LibUSBServices.h"
#include "usb/USBServices.h"
#include "usb/UsbTrace.h"

namespace ovn::program {

namespace {

std::mutex gInstalledMutex;
// The store this helper installed as the standard one (for layering on top of it).
std::shared_ptr<UserDefaults> gInstalled;

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

}  // namespace

std::optional<uint16_t> parseProductID(std::string_view text, std::string* error) {
    const std::string original(text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        setError(error, "\"" + original + "\" is not a product ID (hexadecimal such as 0x5C01, or decimal)");
        return std::nullopt;
    }
    unsigned long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value, base);
    if (ec == std::errc::result_out_of_range || (ec == std::errc() && ptr == last && value > 0xFFFF)) {
        setError(error, "product ID \"" + original + "\" is out of range (at most 0xFFFF)");
        return std::nullopt;
    }
    if (ec != std::errc() || ptr != last) {
        setError(error, "\"" + original + "\" is not a product ID (hexadecimal such as 0x5C01, or decimal)");
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::optional<std::set<uint16_t>> parseProductIDs(const std::vector<std::string>& texts, std::string* error) {
    std::set<uint16_t> ids;
    for (const auto& text : texts) {
        auto id = parseProductID(text, error);
        if (!id) return std::nullopt;
        ids.insert(*id);
    }
    return ids;
}

bool installSystemUSB(std::string* error) {
    std::string reason;
    auto services = ovn::usb::LibUSBServices::create(&reason);
    if (!services) {
        setError(error, "cannot use USB: " + (reason.empty() ? std::string("libusb could not be initialised") : reason));
        return false;
    }
    ovn::usb::USBServices::setShared(services);
    return true;
}

bool openUsbTrace(const std::string& path, std::string* error) {
    std::string reason;
    if (path.empty()) {
        setError(error, "cannot write the USB trace: no file name given");
        return false;
    }
    if (!ovn::usb::UsbTrace::open(path, &reason)) {
        setError(error, reason.empty() ? "cannot write the USB trace file \"" + path + "\"" : reason);
        return false;
    }
    return true;
}

void useMemoryUserDefaults() {
    auto store = std::make_shared<MemoryUserDefaults>();
    {
        std::lock_guard<std::mutex> lock(gInstalledMutex);
        gInstalled = store;
    }
    UserDefaults::setStandard(store);
}

void overrideUserDefaults(const std::map<std::string, Value>& entries) {
    std::shared_ptr<UserDefaults> base;
    {
        std::lock_guard<std::mutex> lock(gInstalledMutex);
        base = gInstalled;
    }
    if (!base) base = std::make_shared<FileUserDefaults>(UserDefaults::defaultPath());
    auto layered = std::make_shared<LayeredUserDefaults>(base, entries);
    {
        std::lock_guard<std::mutex> lock(gInstalledMutex);
        gInstalled = layered;
    }
    UserDefaults::setStandard(layered);
}

LayeredUserDefaults::LayeredUserDefaults(std::shared_ptr<UserDefaults> base, std::map<std::string, Value> overrides)
    : base_(std::move(base)), overrides_(std::move(overrides)) {}

std::optional<Value> LayeredUserDefaults::objectForKey(const std::string& key) const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = overrides_.find(key);
        if (it != overrides_.end()) return it->second;
    }
    return base_ ? base_->objectForKey(key) : std::nullopt;
}

void LayeredUserDefaults::setObject(const std::string& key, const Value& value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        overrides_.erase(key);
    }
    if (base_) base_->setObject(key, value);
}

namespace {
class SimulatedRunPrinter : public ZVUSBPrinterOVN {
public:
    void deleteExistingPrinterQueues() override {
        ovn::SysLog("print queues left alone in a simulated run (%s)", descriptionUTF8().c_str());
    }
};
}  // namespace

void useSimulatedPrinterFactory(ZVPrinters& registry) {
    registry.setPrinterFactory([](const ovn::usb::IOUSBInterfaceInterfacePtr& interface,
                                  const ovn::usb::IOServicePtr& service) -> ZVPrinters::PrinterPtr {
        return ZVUSBPrinter::create<SimulatedRunPrinter>(interface, service);
    });
}

}  // namespace ovn::program
