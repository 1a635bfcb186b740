// Start-up of a simulated run (the programs' --simulate option): a virtual USB bus with emulated printers,
// installed as the process's USB provider. It links into the programs and tests only; the host's printer
// classes never depend on it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sim/SimulatedPrinters.h"
#include "usb/VirtualUSBBus.h"

namespace ovn::sim {

struct SimulationSetup {
    std::shared_ptr<usb::VirtualUSBBus> bus;
    std::shared_ptr<SimulatedPrinters> printers;
};

// Parses the description (sim/SimulationText.h). When it is understood: creates a virtual bus, installs it as
// ovn::usb::USBServices::shared() and plugs every printer it describes (they are attached before any program
// code looks for printers). Otherwise installs nothing and answers nothing, with a one-line reason in *error.
std::shared_ptr<SimulationSetup> installSimulation(std::string_view description, std::string* error = nullptr);

}  // namespace ovn::sim
