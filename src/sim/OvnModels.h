// The printer models the emulator can be, with what each reports about itself out of the box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovn::sim {

enum class PrinterModel { PL15, PL25, PLMV1, PL25D, PL35, PL45 };

// How the model keeps its colour tables.
enum class TableLayout {
    Single,   // one table set, queried without a table number (tables 300 and 600 written)
    Triple,   // tables 610, 600, 300
    Octuple,  // tables 620, 610, 600, 300 for media SD and again for media PP
    None,     // no colour tables
};

// Whether the model has the USB serial-number (iSerial) setting.
enum class ISerialSupport { Never, Always, FromFirmware204 };

struct ColourTableId {
    std::string media;  // "SD" or "PP"
    int number = 0;     // 300, 600, 610, 620
    bool operator==(const ColourTableId&) const = default;
    bool operator<(const ColourTableId& o) const { return media != o.media ? media < o.media : number < o.number; }
};

struct ModelInfo {
    PrinterModel model;
    const char* name;             // as written in a simulation description: "PL15", "PL-MV1", "PL25D"
    uint16_t productId;
    const char* productString;    // USB product string
    const char* deviceIdModel;    // MDL field of the IEEE-1284 device ID
    const char* firmwareWord;     // first word of the firmware version text ("PL25DUP" for the duplex)
    const char* defaultFirmware;  // older than the version the application offers, so an update is offered
    const char* defaultTableVersion;
    TableLayout layout;
    ISerialSupport iSerial;
    const char* serialPrefix;     // default serial numbers begin with this
};

inline constexpr const char* kManufacturerString = "Orvane Imaging";
inline constexpr uint16_t kDefaultVendorId = 0x2A71;
// The intermediate firmware a PL-MV1 runs between its programming restart and its final restart.
inline constexpr const char* kMV1IntermediateFirmware = "MV1_ALLFWU_2.05";
// The status a printer reports while it waits for a firmware image.
inline constexpr const char* kUpdateModeStatus = "FU00001";
inline constexpr const char* kIdleStatus = "00000";

const std::vector<ModelInfo>& allModels();
const ModelInfo& modelInfo(PrinterModel model);
// By the name of a simulation description (exact, upper case as listed).
std::optional<PrinterModel> modelByName(std::string_view name);
// The colour tables of a layout, in the order the host queries them.
std::vector<ColourTableId> tablesOfLayout(TableLayout layout);
// The version number in a firmware version text: the last blank-separated word's leading decimal number, 0 when
// there is none ("PL15 01.61" gives 1.61, "PL25DUP 1.40PRN" gives 1.4).
double firmwareVersionNumber(std::string_view text);

}  // namespace ovn::sim
