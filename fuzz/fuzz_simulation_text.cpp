// The description text of simulated printers (the programs' --simulate option and the tests).
//
// Any text either parses into printers or gives an error, never both; a parsed description holds only
// values the emulator accepts, and an emulator made from each entry answers for its identity and status.
#include <set>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "sim/OvnPrinterEmulator.h"
#include "sim/SimulationText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ovn::sim::SimulationParseResult result = ovn::sim::parseSimulationText(text);

    if (!result.ok()) {
        FUZZ_CHECK(result.printers.empty());
        return 0;
    }
    FUZZ_CHECK(!result.printers.empty());
    std::set<std::string> serials;
    std::set<uint32_t> locations;
    for (const auto& entry : result.printers) {
        const auto& c = entry.config;
        FUZZ_CHECK(text.find(entry.text) != std::string_view::npos);
        if (entry.hasSerial) {
            FUZZ_CHECK(!c.serial.empty() && c.serial.size() <= 64);
            FUZZ_CHECK(serials.insert(c.serial).second);
        }
        if (entry.hasLocation) {
            FUZZ_CHECK(c.locationId != 0);
            FUZZ_CHECK(locations.insert(c.locationId).second);
        }
        FUZZ_CHECK(c.vendorId != 0);
        FUZZ_CHECK(c.restartDelayMs <= 600000 && c.settleMs <= 600000);
        FUZZ_CHECK(c.rawStatus == "FU00001" ||
                   (!c.rawStatus.empty() && c.rawStatus.size() <= 8 &&
                    c.rawStatus.find_first_not_of("0123456789") == std::string::npos));
        for (const auto& rule : c.faults) FUZZ_CHECK(rule.count >= 1);

        // An emulator made from the entry, off any bus.
        auto emulator = ovn::sim::OvnPrinterEmulator::create(c);
        FUZZ_CHECK(emulator->vendorId() == c.vendorId);
        if (entry.hasSerial) FUZZ_CHECK(emulator->serial() == c.serial);
        FUZZ_CHECK(!emulator->deviceIdText().empty());
        FUZZ_CHECK((emulator->firmwareMode() == ovn::sim::FirmwareMode::Update) == (c.rawStatus == "FU00001"));
        (void)emulator->description();
    }
    return 0;
}
