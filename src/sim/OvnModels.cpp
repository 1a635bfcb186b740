#include "sim/OvnModels.h"

#include <cmath>
#include <cstdlib>

namespace ovn::sim {

namespace {

const std::vector<ModelInfo> kModels = {
    {PrinterModel::PL15, "PL15", 0x0101, "QP-PL15", "PL15", "PL15", "PL15 01.50", "0150", TableLayout::Single,
     ISerialSupport::Never, "5A"},
    {PrinterModel::PL25, "PL25", 0x0102, "QP-PL25", "PL25", "PL25", "PL25 01.20", "0120", TableLayout::Single,
     ISerialSupport::Never, "5B"},
    {PrinterModel::PLMV1, "PL-MV1", 0x0103, "QP-MV1", "PL-MV1", "PL-MV1", "PL-MV1 02.03", "0200",
     TableLayout::Single, ISerialSupport::FromFirmware204, "6M"},
    {PrinterModel::PL25D, "PL25D", 0x0106, "QP-PL25D", "PL25D", "PL25DUP", "PL25DUP 1.30PRN", "0120",
     TableLayout::Single, ISerialSupport::Never, "5D"},
    {PrinterModel::PL35, "PL35", 0x5C01, "QP-PL35", "PL35", "PL35", "PL35 01.40", "0105", TableLayout::Triple,
     ISerialSupport::Always, "7C"},
    {PrinterModel::PL45, "PL45", 0x5D01, "QP-PL45", "PL45", "PL45", "PL45 01.02", "0100", TableLayout::Octuple,
     ISerialSupport::Always, "8E"},
};

}  // namespace

const std::vector<ModelInfo>& allModels() { return kModels; }

const ModelInfo& modelInfo(PrinterModel model) {
    for (const auto& m : kModels) {
        if (m.model == model) return m;
    }
    return kModels.front();  // not reached: every model has a row
}

std::optional<PrinterModel> modelByName(std::string_view name) {
    for (const auto& m : kModels) {
        if (name == m.name) return m.model;
    }
    return std::nullopt;
}

std::vector<ColourTableId> tablesOfLayout(TableLayout layout) {
    switch (layout) {
        case TableLayout::Single:
            return {{"SD", 300}, {"SD", 600}};
        case TableLayout::Triple:
            return {{"SD", 610}, {"SD", 600}, {"SD", 300}};
        case TableLayout::Octuple:
            return {{"SD", 620}, {"SD", 610}, {"SD", 600}, {"SD", 300},
                    {"PP", 620}, {"PP", 610}, {"PP", 600}, {"PP", 300}};
        case TableLayout::None:
            break;
    }
    return {};
}

double firmwareVersionNumber(std::string_view text) {
    size_t blank = text.find_last_of(' ');
    std::string last(blank == std::string_view::npos ? text : text.substr(blank + 1));
    char* end = nullptr;
    double v = std::strtod(last.c_str(), &end);
    if (end == last.c_str() || !std::isfinite(v)) return 0;
    return v;
}

}  // namespace ovn::sim
