// The text that describes simulated printers, for tests and for the programs' --simulate option:
//
//     MODEL[:key=value]...[,MODEL[:key=value]...]...
//
// MODEL is one of PL15, PL25, PL-MV1, PL25D, PL35, PL45. Keys:
//     serial=TEXT       serial number (default: distinct per printer)
//     fw=TEXT           firmware version text, e.g. "PL15 01.50" (default: older than the offered version)
//     status=CODE       raw status: digits such as 00000 or 01100, or FU00001 (waiting for firmware)
//     busy=0|1          1: another application holds the printer's interface
//     iserial=0|1       the USB serial-number setting (models that have it)
//     life=N            lifetime print counter
//     vendor=HEX        USB vendor ID (default 0x2A71)
//     location=HEX      USB location (default 0x14100000, 0x14200000, ... by position)
//     fault=NAME[@COMMAND][*COUNT]   a fault (noreply, late, badheader, oversize, nocr, disconnect, busy,
//                       powerloss), optionally only for one command (STATUS, FVER, TBL_WT.Version, ...) and
//                       for COUNT exchanges (a number, or "always"); may be given more than once
//     delay=MS          restart delay of the firmware update, in milliseconds
//     settle=MS         PL-MV1: time on the intermediate firmware before its last restart
//     unplug=MS         leaves the bus this long after it was plugged in, and stays away
//
// At most kMaxSimulatedPrinters printers.
//
// Example: "PL35:serial=7C1004721:iserial=1,PL25D:fw=PL25DUP 1.30PRN:status=01100"
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/OvnPrinterEmulator.h"

namespace ovn::sim {

struct SimulatedPrinterSetup {
    EmulatorConfig config;          // model, serial, firmware, status, counters, faults, delays
    bool busy = false;              // plugged in held by another application
    bool hasLocation = false;       // location given in the text
    bool hasSerial = false;         // serial given in the text
    std::optional<uint32_t> unplugAfterMs;  // unplugged this long after it was plugged in
    std::string text;               // the part of the description it came from
};

struct SimulationParseResult {
    std::vector<SimulatedPrinterSetup> printers;
    std::string error;  // empty when the text was understood
    bool ok() const { return error.empty(); }
};

// The most printers one description may plug in.
inline constexpr size_t kMaxSimulatedPrinters = 256;

SimulationParseResult parseSimulationText(std::string_view text);

// For a program's help: the models with their USB product IDs, the faults and the commands a fault may name.
std::string simulationHelpText();

}  // namespace ovn::sim
