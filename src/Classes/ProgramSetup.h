// Start-up helpers shared by the desktop program and the command-line program (no Qt here).
//
// A program starts like this, checking everything the user gave before anything reaches a printer:
//
//   1. parse the product IDs given with --accept-product (parseProductIDs); stop on an error;
//   2. for --simulate: ovn::sim::installSimulation (sim/SimulationSetup.h, linked into the programs only) and
//      useMemoryUserDefaults(), so that a simulated run never touches the user's settings; otherwise
//      installSystemUSB();
//   3. --trace-usb FILE: openUsbTrace(FILE) before the registry exists, so that every transfer is traced;
//   4. overrideUserDefaults() for settings that hold for this run only (for example
//      "installOlderFirmwareVersion" from --allow-older);
//   5. create the registry (ZVPrinters::create), add the product IDs (addAcceptedProductIDs) and start
//      discovery (awakeFromNib in the desktop program, getPrintingDevices in the command-line program).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/Value.h"

class ZVPrinters;

namespace ovn::program {

// A USB product ID: hexadecimal with a 0x or 0X prefix ("0x5C01") or decimal ("23553"), surrounding blanks
// allowed, at most 0xFFFF. Nothing, and a one-line reason in *error, for anything else.
std::optional<uint16_t> parseProductID(std::string_view text, std::string* error = nullptr);
// Every text must parse; on the first that does not, nothing and a reason naming that text.
std::optional<std::set<uint16_t>> parseProductIDs(const std::vector<std::string>& texts, std::string* error = nullptr);

// Installs the libusb provider as ovn::usb::USBServices::shared(). False, and a reason, when USB cannot be used.
bool installSystemUSB(std::string* error = nullptr);

// Opens the USB transfer trace (one JSON object per transfer, appended). False, and a reason naming the
// file, when it cannot be written.
bool openUsbTrace(const std::string& path, std::string* error = nullptr);

// Makes the standard user defaults an empty in-memory store.
void useMemoryUserDefaults();

// Settings for this run only: the standard user defaults become a LayeredUserDefaults over the current store,
// with these entries answered from memory. Writing still reaches the underlying store.
void overrideUserDefaults(const std::map<std::string, Value>& entries);

// A store that answers some keys from memory and everything else from another store. Writes go to the
// underlying store, and a written key is no longer overridden.
class LayeredUserDefaults : public UserDefaults {
public:
    LayeredUserDefaults(std::shared_ptr<UserDefaults> base, std::map<std::string, Value> overrides);
    std::optional<Value> objectForKey(const std::string& key) const override;
    void setObject(const std::string& key, const Value& value) override;
    std::string location() const override { return base_ ? base_->location() : UserDefaults::location(); }

private:
    std::shared_ptr<UserDefaults> base_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> overrides_;
};

// Makes the registry build printers that never touch the machine's print queues: an emulated printer whose
// USB serial-number setting changes must not make the program delete the user's real queues.
void useSimulatedPrinterFactory(::ZVPrinters& registry);

}  // namespace ovn::program
