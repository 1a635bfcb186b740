#include "sim/SimulatedPrinters.h"

#include <cstdio>
#include <set>
#include <thread>

namespace ovn::sim {

SimulatedPrinters::SimulatedPrinters(std::shared_ptr<usb::VirtualUSBBus> bus) : bus_(std::move(bus)) {}

namespace {
constexpr size_t kDefaultLocations = 0xEB;  // 0x14100000 to 0x22F00000
}

uint32_t SimulatedPrinters::defaultLocation(size_t index) {
    return 0x14100000u + static_cast<uint32_t>(index % kDefaultLocations) * 0x00100000u;
}

namespace {

std::string hexLocation(uint32_t location) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", location);
    return buf;
}

std::string defaultSerial(const ModelInfo& info, unsigned n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%07u", info.serialPrefix, 1004721u + 7919u * n);
    return buf;
}

}  // namespace

void SimulatedPrinters::assignDefaultsLocked(std::vector<SimulatedPrinterSetup*>& entries) const {
    std::set<std::string> serials;
    std::set<uint32_t> locations;
    for (const auto& p : printers_) {
        serials.insert(p->serial());
        locations.insert(p->locationId());
    }
    for (auto* entry : entries) {
        if (!entry->config.serial.empty()) serials.insert(entry->config.serial);
        if (entry->config.locationId != 0) locations.insert(entry->config.locationId);
    }
    size_t nextLocation = 0;
    unsigned nextSerial = static_cast<unsigned>(printers_.size());
    for (auto* entry : entries) {
        EmulatorConfig& config = entry->config;
        if (config.locationId == 0) {
            while (nextLocation < kDefaultLocations && locations.count(defaultLocation(nextLocation))) ++nextLocation;
            // Past the last default the bus picks a free location.
            if (nextLocation < kDefaultLocations) {
                config.locationId = defaultLocation(nextLocation);
                locations.insert(config.locationId);
            }
        }
        if (config.serial.empty()) {
            const ModelInfo& info = modelInfo(config.model);
            while (serials.count(defaultSerial(info, nextSerial))) ++nextSerial;
            config.serial = defaultSerial(info, nextSerial);
            serials.insert(config.serial);
        }
    }
}

std::string SimulatedPrinters::addFromText(std::string_view text) {
    SimulationParseResult parsed = parseSimulationText(text);
    if (!parsed.ok()) return parsed.error;
    std::vector<std::shared_ptr<OvnPrinterEmulator>> created;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Serials and locations named in the text must be free; nothing is plugged otherwise.
        for (const auto& entry : parsed.printers) {
            for (const auto& p : printers_) {
                if (entry.hasSerial && p->serial() == entry.config.serial) {
                    return "serial '" + entry.config.serial + "' is in use already: '" + entry.text + "'";
                }
                if (entry.hasLocation && p->locationId() == entry.config.locationId) {
                    return "location " + hexLocation(entry.config.locationId) + " is in use already: '" + entry.text +
                           "'";
                }
            }
        }
        std::vector<SimulatedPrinterSetup*> entries;
        for (auto& entry : parsed.printers) entries.push_back(&entry);
        assignDefaultsLocked(entries);
        for (const auto& entry : parsed.printers) {
            created.push_back(OvnPrinterEmulator::create(entry.config));
            printers_.push_back(created.back());
        }
    }
    for (size_t i = 0; i < created.size(); ++i) plugIn(created[i], parsed.printers[i]);
    return "";
}

std::shared_ptr<OvnPrinterEmulator> SimulatedPrinters::add(SimulatedPrinterSetup entry, std::string* error) {
    std::shared_ptr<OvnPrinterEmulator> printer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& p : printers_) {
            if (!entry.config.serial.empty() && p->serial() == entry.config.serial) {
                if (error) *error = "serial '" + entry.config.serial + "' is in use already";
                return nullptr;
            }
            if (entry.config.locationId != 0 && p->locationId() == entry.config.locationId) {
                if (error) *error = "location " + hexLocation(entry.config.locationId) + " is in use already";
                return nullptr;
            }
        }
        std::vector<SimulatedPrinterSetup*> entries{&entry};
        assignDefaultsLocked(entries);
        printer = OvnPrinterEmulator::create(entry.config);
        printers_.push_back(printer);
    }
    plugIn(printer, entry);
    return printer;
}

void SimulatedPrinters::plugIn(const std::shared_ptr<OvnPrinterEmulator>& printer, const SimulatedPrinterSetup& entry) {
    bus_->plug(printer->description(), printer);
    // Held from the start, as when the printing system has the printer open.
    if (entry.busy) printer->setHeldByOtherApplication(true);
    // Pulled out later, while the program runs.
    if (entry.unplugAfterMs) {
        std::thread([weak = std::weak_ptr<OvnPrinterEmulator>(printer), ms = *entry.unplugAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            if (auto p = weak.lock()) p->powerLoss();
        }).detach();
    }
}

std::shared_ptr<OvnPrinterEmulator> SimulatedPrinters::bySerial(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& p : printers_) {
        if (p->serial() == serial) return p;
    }
    return nullptr;
}

std::vector<std::shared_ptr<OvnPrinterEmulator>> SimulatedPrinters::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printers_;
}

size_t SimulatedPrinters::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printers_.size();
}

}  // namespace ovn::sim
