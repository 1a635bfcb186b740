// ovnctl run as a script runs it: signals at each point of an update, several printers in one command, the
// checked counter reset, the JSON of `list` and `watch`, and `history`.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/Kit.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using Ran = kit::Program::Outcome;

struct Signal {
    int number = 0;
    std::string when;  // sent once the output holds this text; when empty, after 700 ms
};

// Runs ovnctl with its standard input left open (a question waits for an answer), XDG_STATE_HOME set to `state`,
// and the signal sent when its moment comes.
Ran ovnctl(const std::vector<std::string>& args, const fs::path& state, Signal signal = {}) {
    kit::Program program(OVNCTL_PATH, args, "", {"XDG_STATE_HOME=" + state.string()}, true);
    if (signal.number) {
        if (signal.when.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        else
            EXPECT_TRUE(program.waitForOutput(signal.when, 60000)) << "never said: " << signal.when;
        program.signal(signal.number);
    }
    return program.finish();
}

std::vector<json> jsonLines(const fs::path& file) {
    std::vector<json> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(json::parse(line, nullptr, false));
    return lines;
}

// Frames written to the printers whose start (the header's category and subcommand words) holds this text.
size_t framesSent(const fs::path& trace, const std::string& words) {
    std::string hex;
    for (unsigned char c : words) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    size_t count = 0;
    for (const auto& t : jsonLines(trace))
        count += t.value("direction", "") == "out" && t.value("hex", "").find(hex) == 4;
    return count;
}

const std::string kRewrite = "FW_UPD" "FLASH_REWRITE";
const std::string kClear = "MNT_WT" "COUNTER_CLR";

}  // namespace

// A signal during the update: stopped at once outside the image and colour-table steps, with 128 + n, the
// printer's state and the command that finishes the job; an update under way is in the history as interrupted.
TEST(CliSignals, EndWithTheSignalsStatusAndTellWhatIsLeft) {
    struct Case {
        std::vector<std::string> args;
        Signal signal;
        int status;
        std::vector<std::string> said;  // on standard error (or in the JSON error)
        bool underWay;                  // an interrupted update is recorded
    };
    const std::string pl15 = "PL15:serial=UPD1:fw=PL15 01.50:delay=4000";
    const std::vector<Case> cases = {
        {{"--accept-product", "0x0101", "--simulate", pl15, "update-firmware", "--yes"},
         {SIGINT, "left the USB bus"}, 130,
         {"interrupted by SIGINT", "waits for its firmware",
          "to finish the update run: ovnctl --accept-product 0x0101 --serial UPD1 update-firmware"}, true},
        {{"--json", "--accept-product", "0x0101", "--simulate", pl15, "update-firmware", "--yes"},
         {SIGHUP, "left the USB bus"}, 129, {"interrupted by SIGHUP"}, true},
        // At the warning, before anything is sent: nothing to finish.
        {{"--accept-product", "0x0101", "--simulate", pl15, "update-firmware"}, {SIGTERM, "I Agree"}, 143,
         {"interrupted by SIGTERM", "PL15 UPD1 (2A71010114100000) is unchanged"}, false},
        // list is held up by a printer another program holds; its JSON is the error object alone.
        {{"--json", "--simulate", "PL25D:serial=A,PL25D:busy=1", "list"}, {SIGINT, ""}, 130, {"interrupted by SIGINT"},
         false},
        {{"--simulate", "PL25D:serial=A,PL25D:busy=1", "list"}, {SIGHUP, ""}, 129, {"interrupted by SIGHUP"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + std::to_string(c.signal.number));
        const kit::TempDir scratch;
        const fs::path& dir = scratch.path();
        auto args = c.args;
        args.insert(args.begin(), {"--trace-usb", (dir / "trace.jsonl").string()});
        const Ran r = ovnctl(args, dir, c.signal);
        EXPECT_EQ(r.status, c.status) << r.err;
        const bool jsonMode = c.args.front() == "--json";
        std::string said = r.err;
        if (jsonMode) {
            const json error = json::parse(r.out, nullptr, false);  // one document, nothing after it
            ASSERT_TRUE(error.is_object()) << r.out;
            EXPECT_EQ(error["exitStatus"], c.status);
            said = error.value("error", "");
            if (c.underWay) {
                EXPECT_EQ(error["updatePhase"], 1);
                EXPECT_EQ(error["finishCommand"], "ovnctl --accept-product 0x0101 --serial UPD1 update-firmware");
            }
        } else {
            EXPECT_EQ(r.out, "");
        }
        for (const auto& text : c.said) EXPECT_NE(said.find(text), std::string::npos) << text << "\n" << said;
        const auto history = jsonLines(dir / "ovn-utility" / "history.jsonl");
        ASSERT_EQ(history.size(), c.underWay ? 1u : 0u);
        if (c.underWay) {
            EXPECT_EQ(history[0]["result"], "interrupted");
            EXPECT_EQ(history[0]["serial"], "UPD1");
            EXPECT_EQ(history[0]["from"], "PL15 01.50");
            EXPECT_EQ(history[0]["to"], "PL15 01.61");
            EXPECT_EQ(history[0]["usbLocation"], "0x14100000");
            EXPECT_EQ(history[0]["program"], "ovnctl");
        }
        // Interrupted at once: no restart request to a printer the user never confirmed.
        EXPECT_EQ(framesSent(dir / "trace.jsonl", kRewrite), c.underWay ? 1u : 0u);
    }
}

// Several printers in one command: each gets its own result, the failures count, and nothing is sent to a
// printer that needs nothing or cannot take it.
TEST(CliFleet, EachPrinterItsOwnResultAndTheStatusOfTheWorst) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> results;  // "result" of each printer's object, in order ("" for a failure)
        std::string frame;
        size_t frames;
    };
    const std::string twoPL15 = "PL15:serial=OLD:fw=PL15 01.50:delay=100,PL15:serial=NEW:fw=PL15 01.61";
    const std::string fuAndIdle = "PL25D:serial=A,PL25D:serial=B:status=FU00001";
    const std::vector<Case> cases = {
        {{"--accept-product", "0x0101", "--simulate", twoPL15, "update-firmware", "--all", "--yes"}, 0,
         {"updated", "up-to-date"}, kRewrite, 1},
        {{"--accept-product", "0x0101", "--simulate", twoPL15, "--serial", "NEW", "--serial", "OLD",
          "update-firmware", "--yes"},
         0, {"up-to-date", "updated"}, kRewrite, 1},
        {{"--accept-product", "0x0101", "--simulate", twoPL15, "--serial", "NEW", "update-firmware", "--yes",
          "--reinstall"},
         0, {"updated"}, kRewrite, 1},
        // A printer waiting for firmware takes no counter reset.
        {{"--simulate", fuAndIdle, "reset-counter", "--all", "A"}, 1, {"reset", ""}, kClear, 1},
        {{"--simulate", fuAndIdle, "--serial", "A", "--serial", "NOPE", "reset-counter", "M"}, 1, {"", "reset"},
         kClear, 1},
        {{"--simulate", "PL25D:serial=A:fault=badheader@COUNTER_A", "reset-counter", "A"}, 1, {""}, kClear, 1},
        {{"--simulate", "PL25D:serial=A:busy=1", "--timeout", "20", "reset-counter", "B"}, 1, {""}, kClear, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[3] + " " + c.args[c.args.size() - 2] + " " + c.args.back());
        const kit::TempDir scratch;
        const fs::path& dir = scratch.path();
        auto args = c.args;
        args.insert(args.begin(), {"--json", "--trace-usb", (dir / "trace.jsonl").string()});
        const Ran r = ovnctl(args, dir);
        EXPECT_EQ(r.status, c.status) << r.err;
        const json result = json::parse(r.out, nullptr, false);
        const bool several = c.results.size() > 1;
        ASSERT_TRUE(several ? result.is_array() : result.is_object()) << r.out;
        const json list = several ? result : json::array({result});
        ASSERT_EQ(list.size(), c.results.size()) << r.out;
        for (size_t i = 0; i < list.size(); ++i) {
            if (c.results[i].empty()) {
                EXPECT_FALSE(list[i].value("error", "").empty()) << list[i];
                EXPECT_NE(list[i].value("exitStatus", 0), 0);
            } else {
                EXPECT_EQ(list[i].value("result", ""), c.results[i]) << list[i];
            }
            // The printer as it is after its update: idle, out of the update, nothing stale.
            if (list[i].value("result", "") == "updated") {
                EXPECT_EQ(list[i]["printer"]["inFirmwareUpdate"], false);
                EXPECT_EQ(list[i]["printer"]["printerStatus"], "Idle");
                EXPECT_EQ(list[i]["printer"]["firmwareVersion"], "PL15 01.61");
                EXPECT_NE(list[i]["printer"]["status"], "Waiting for USB");
            }
        }
        EXPECT_EQ(framesSent(dir / "trace.jsonl", c.frame), c.frames);
    }
}

// What a person reads: a line per printer naming it, reasons they can act on, no doubled words.
TEST(CliFleet, TextLinesNameEachPrinterAndTheReason) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> out;
    };
    const std::vector<Case> cases = {
        {{"--simulate", "PL25D:serial=A,PL25D:serial=B:status=FU00001", "reset-counter", "--all", "A"}, 1,
         {"counter A reset on PL25D A (2A71010614100000)",
          "failed: counter A of PL25D (2A71010614200000) was not reset: the printer is in firmware update mode"}},
        {{"--accept-product", "0x5C01", "--simulate", "PL35:serial=I1:iserial=0,PL35:serial=I2:iserial=1", "iserial",
          "--all", "on"},
         0,
         {"USB iSerial setting on for PL35 I1 (2A715C0114100000)\n",
          "USB iSerial setting on for PL35 I2 (2A715C0114200000) (already set)"}},
        {{"--accept-product", "0x0101", "--simulate", "PL15:serial=NEW:fw=PL15 01.61", "update-firmware", "--yes"}, 0,
         {"PL15 NEW (2A71010114100000) is already up to date (PL15 01.61)"}},
    };
    const std::regex doubled(R"(\b(\w+) \1\b)");
    for (const auto& c : cases) {
        const Ran r = ovnctl(c.args, kit::TempDir().path());
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const auto& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        EXPECT_FALSE(std::regex_search(r.out + r.err, doubled)) << r.out << r.err;
    }
}

// list --json: USB IDs as numbers and texts, unknown values null; watch names the printer's serial number.
TEST(CliFleet, ListAndWatchJson) {
    const kit::TempDir scratch;
    const fs::path& dir = scratch.path();
    const Ran list = ovnctl({"--json", "--simulate", "PL25D:serial=A:vendor=0x2A72", "list"}, dir);
    ASSERT_EQ(list.status, 0) << list.err;
    const json printers = json::parse(list.out, nullptr, false);
    ASSERT_EQ(printers.size(), 1u) << list.out;
    const json& p = printers[0];
    EXPECT_EQ(p["idVendor"], 0x2A72);
    EXPECT_EQ(p["idProduct"], 0x0106);
    EXPECT_EQ(p["usbVendorId"], "0x2A72");
    EXPECT_EQ(p["usbProductId"], "0x0106");
    EXPECT_TRUE(p["serialNumberUSB"].is_null());
    EXPECT_TRUE(p["updatePhase"].is_null());
    for (const auto& [key, value] : p.items())
        EXPECT_TRUE(!value.is_string() || (value != "" && value != "(null)")) << key;

    const Ran watch =
        ovnctl({"--json", "--simulate", "PL25D:serial=W1,PL25D:serial=W2", "watch"}, dir, {SIGTERM, "Idle"});
    EXPECT_EQ(watch.status, 0) << watch.err;
    const json first = json::parse(watch.out.substr(0, watch.out.find('\n')), nullptr, false);
    EXPECT_EQ(first["event"], "added");
    EXPECT_EQ(first["printerSerialNumber"], "W1") << watch.out;
    EXPECT_EQ(first["printerStatus"], "Idle");
}

// history: the recorded updates, filtered by --serial; a line that does not parse is skipped with a warning.
TEST(CliHistory, ShowsTheRecordedUpdates) {
    const kit::TempDir scratch;
    const fs::path& dir = scratch.path();
    fs::create_directories(dir / "ovn-utility");
    std::ofstream(dir / "ovn-utility" / "history.jsonl")
        << R"({"time":"2026-12-01T10:00:00Z","model":"OVN PL35","serial":"S1","from":"PL35 01.50","to":"PL35 01.52",)"
        << R"("tablesWritten":["a.bin","b.bin"],"result":"succeeded","durationSeconds":41.6,"program":"ovnctl"})" << "\n"
        << "{not json\n"
        << R"({"time":"2026-12-02T10:00:00Z","serial":"S2","result":"interrupted","program":"ovn-utility"})" << "\n";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> out;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {{"history"}, {"TIME", "OVN PL35  S1", "PL35 01.50  PL35 01.52  2       succeeded    42", "S2", "interrupted"}, {}},
        {{"--serial", "S2", "history"}, {"interrupted", "ovn-utility"}, {"S1"}},
        {{"--serial", "NONE", "history"}, {"no firmware updates recorded"}, {"S1", "S2"}},
    };
    for (const auto& c : cases) {
        const Ran r = ovnctl(c.args, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("1 line(s)"), std::string::npos) << r.err;
        for (const auto& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        for (const auto& text : c.absent) EXPECT_EQ(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    }
    const Ran asJson = ovnctl({"--json", "--serial", "S2", "history"}, dir);
    const auto entries = json::parse(asJson.out, nullptr, false);
    ASSERT_EQ(entries.size(), 1u) << asJson.out;
    EXPECT_EQ(entries[0]["result"], "interrupted");
    EXPECT_TRUE(entries[0]["model"].is_null());
    EXPECT_EQ(entries[0]["time"], "2026-12-02T10:00:00Z");
}
