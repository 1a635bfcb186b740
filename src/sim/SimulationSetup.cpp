#include "sim/SimulationSetup.h"

#include "sim/SimulationText.h"

namespace ovn::sim {

std::shared_ptr<SimulationSetup> installSimulation(std::string_view description, std::string* error) {
    // Checked first, so that a wrong text leaves the process without a provider rather than with an empty bus.
    SimulationParseResult parsed = parseSimulationText(description);
    if (!parsed.ok()) {
        if (error) *error = "bad --simulate description: " + parsed.error;
        return nullptr;
    }
    if (parsed.printers.empty()) {
        if (error) *error = "bad --simulate description: no printer described";
        return nullptr;
    }
    auto setup = std::make_shared<SimulationSetup>();
    setup->bus = usb::VirtualUSBBus::create();
    setup->printers = std::make_shared<SimulatedPrinters>(setup->bus);
    std::string failure = setup->printers->addFromText(description);
    if (!failure.empty()) {
        if (error) *error = "bad --simulate description: " + failure;
        return nullptr;
    }
    usb::USBServices::setShared(setup->bus);
    return setup;
}

}  // namespace ovn::sim
