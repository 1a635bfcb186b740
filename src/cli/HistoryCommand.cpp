// ovnctl history: the firmware updates recorded on this computer, oldest first.
#include <cstdio>

#include "Classes/UpdateHistory.h"
#include "cli/CliSession.h"

namespace ovnctl {

namespace {

nlohmann::json jsonText(const std::optional<std::string>& text) {
    return text && !text->empty() ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

std::string cell(const std::optional<std::string>& text) { return text && !text->empty() ? *text : "-"; }

}  // namespace

int runHistory(Session& session) {
    const Options& options = session.options();
    const auto file = ovn::update::historyFile();
    std::string error;
    size_t skipped = 0;
    auto entries = ovn::update::readUpdateHistory(file, &error, &skipped);
    if (!error.empty()) {
        Session::reportError(options.json, kExitFailed, error);
        return kExitFailed;
    }
    if (skipped)
        session.progress("warning", std::to_string(skipped) + " line(s) of " + file.string() +
                                        " could not be read and were skipped");
    std::vector<ovn::update::UpdateHistoryEntry> shown;
    for (auto& entry : entries) {
        bool wanted = options.serials.empty();
        for (const auto& serial : options.serials) wanted = wanted || entry.serial == serial;
        if (wanted) shown.push_back(std::move(entry));
    }
    if (options.json) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& e : shown)
            array.push_back({{"time", e.time},
                             {"model", jsonText(e.model)},
                             {"serial", jsonText(e.serial)},
                             {"usbLocation", jsonText(e.usbLocation)},
                             {"from", jsonText(e.from)},
                             {"to", jsonText(e.to)},
                             {"tablesWritten", e.tablesWritten},
                             {"result", e.result},
                             {"durationSeconds", e.durationSeconds},
                             {"program", jsonText(e.program)}});
        session.resultJson(array);
        return kExitSuccess;
    }
    if (shown.empty()) {
        session.result(options.serials.empty() ? "no firmware updates recorded (" + file.string() + ")"
                                               : "no firmware updates recorded for the printer(s) named");
        return kExitSuccess;
    }
    const std::vector<std::string> headers = {"TIME", "MODEL", "SERIAL", "FROM", "TO", "TABLES", "RESULT",
                                              "SECONDS", "PROGRAM"};
    std::vector<std::vector<std::string>> rows;
    for (const auto& e : shown) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.0f", e.durationSeconds);
        rows.push_back({e.time, cell(e.model), cell(e.serial), cell(e.from), cell(e.to),
                        std::to_string(e.tablesWritten.size()), e.result, seconds, cell(e.program)});
    }
    session.result(textTable(headers, rows));
    return kExitSuccess;
}

}  // namespace ovnctl
