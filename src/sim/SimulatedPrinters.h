// A set of simulated printers plugged into a virtual USB bus, reachable by serial number.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/OvnPrinterEmulator.h"
#include "sim/SimulationText.h"
#include "usb/VirtualUSBBus.h"

namespace ovn::sim {

class SimulatedPrinters {
public:
    explicit SimulatedPrinters(std::shared_ptr<usb::VirtualUSBBus> bus);
    SimulatedPrinters(const SimulatedPrinters&) = delete;
    SimulatedPrinters& operator=(const SimulatedPrinters&) = delete;

    // Parses the description and plugs every printer it describes. Answers the parser's error (and plugs
    // nothing) when the text is wrong, "" otherwise.
    std::string addFromText(std::string_view text);
    // Plugs one printer. Printers without a location get the next free one of 0x14100000, 0x14200000, ...;
    // printers without a serial get a distinct one. Answers nothing (and plugs nothing) when the serial or the
    // location is taken already.
    std::shared_ptr<OvnPrinterEmulator> add(SimulatedPrinterSetup entry, std::string* error = nullptr);

    std::shared_ptr<OvnPrinterEmulator> bySerial(const std::string& serial) const;
    std::vector<std::shared_ptr<OvnPrinterEmulator>> all() const;
    size_t count() const;
    const std::shared_ptr<usb::VirtualUSBBus>& bus() const { return bus_; }

    // The n-th default location (0-based): 0x14100000, 0x14200000, ...
    static uint32_t defaultLocation(size_t index);

private:
    void assignDefaultsLocked(std::vector<SimulatedPrinterSetup*>& entries) const;
    void plugIn(const std::shared_ptr<OvnPrinterEmulator>& printer, const SimulatedPrinterSetup& entry);

    std::shared_ptr<usb::VirtualUSBBus> bus_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<OvnPrinterEmulator>> printers_;
};

}  // namespace ovn::sim
