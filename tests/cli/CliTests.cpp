// ovnctl as scripts see it, run as a subprocess against emulated printers (--simulate): `list` of every model,
// update-firmware, reset-counter, iserial and watch: exit status, standard output and error, and the frames on
// the wire (from the --trace-usb file).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "kit/Kit.h"

using nlohmann::json;

namespace {

using Outcome = kit::Program::Outcome;
inline Outcome runCtl(const std::vector<std::string>& args, const std::string& input = "",
                      const std::vector<std::string>& env = {}) {
    return kit::Program::run(OVNCTL_PATH, args, input, env);
}
struct Child : kit::Program {
    Child(const std::vector<std::string>& args, const std::string& input, const std::vector<std::string>& env = {})
        : kit::Program(OVNCTL_PATH, args, input, env) {}
};

// A fresh temporary directory per test.
inline std::filesystem::path tempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    auto dir = std::filesystem::temp_directory_path() /
               ("ovnctl-test-" + std::to_string(getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The trace file's transfers.
inline std::vector<nlohmann::json> readTrace(const std::filesystem::path& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return lines;
}

// Bulk OUT transfers whose bytes begin with this hex text.
inline std::vector<nlohmann::json> framesStartingWith(const std::vector<nlohmann::json>& trace, const std::string& hex) {
    std::vector<nlohmann::json> out;
    for (const auto& t : trace) {
        if (!t.is_object() || t.value("direction", "") != "out" || t.value("transfer", "") != "bulk") continue;
        if (t.value("hex", "").rfind(hex, 0) == 0) out.push_back(t);
    }
    return out;
}

inline std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline std::string frameHex(const std::string& category, const std::string& subcommand, const std::string& payload = "") {
    return hexOf(kit::textOf(kit::frame(category, subcommand, kit::bytesOf(payload))));
}

inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

inline size_t lineCount(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

namespace {

const json* byKey(const json& array, const std::string& key) {
    for (const auto& p : array)
        if (p.value("keyUSBdevice", "") == key) return &p;
    return nullptr;
}

size_t colourKeyCount(const json& printer, const std::string& prefix) {
    size_t n = 0;
    for (auto it = printer.begin(); it != printer.end(); ++it) n += it.key().rfind(prefix, 0) == 0;
    return n;
}

}  // namespace

TEST(CliList, JsonDescribesEveryModel) {
    auto r = runCtl({"--json", "--accept-product", "0x0101", "--accept-product", "258", "--accept-product", "0x0103",
                     "--accept-product", "0x5C01", "--accept-product", "0X5D01", "--simulate",
                     "PL15:serial=S15:fw=PL15 01.50:life=1500,"
                     "PL25:serial=S25:location=0x14200000,"
                     "PL-MV1:serial=SMV:fw=PL-MV1 02.04:iserial=1,"
                     "PL25D:serial=SDUP,"
                     "PL35:serial=S35:iserial=1,"
                     "PL45:serial=S45:status=01100",
                     "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    json printers = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(printers.is_array()) << r.out;
    ASSERT_EQ(printers.size(), 6u);

    // Listed in arrival order, with the keys of the observable properties.
    const std::vector<std::string> serials = {"S15", "S25", "SMV", "SDUP", "S35", "S45"};
    for (size_t i = 0; i < serials.size(); ++i) {
        EXPECT_EQ(printers[i]["printerSerialNumber"], serials[i]);
        for (const char* key : {"manufacturer", "model", "serialNumberUSB", "firmwareVersion", "newFirmwareVersion",
                                "lifetimeCounter", "usbISerial", "usbISerialString", "printerStatus", "status",
                                "idVendor", "idProduct", "keyUSBdevice", "inFirmwareUpdate"})
            EXPECT_TRUE(printers[i].contains(key)) << serials[i] << " lacks " << key;
        EXPECT_EQ(printers[i]["inFirmwareUpdate"], false);
        EXPECT_EQ(printers[i]["idVendor"], 10865);
    }

    const json* pl15 = byKey(printers, "2A71010114100000");
    ASSERT_TRUE(pl15);
    EXPECT_EQ((*pl15)["model"], "PL15");
    EXPECT_EQ((*pl15)["firmwareVersion"], "PL15 01.50");
    EXPECT_EQ((*pl15)["newFirmwareVersion"], "PL15 01.61");
    EXPECT_EQ((*pl15)["lifetimeCounter"], "1500");
    EXPECT_EQ((*pl15)["usbISerialString"], "Unavailable");
    EXPECT_EQ((*pl15)["printerStatus"], "Idle");
    EXPECT_EQ((*pl15)["idProduct"], 257);

    const json* pl25 = byKey(printers, "2A71010214200000");
    ASSERT_TRUE(pl25) << "the location given in the description";
    EXPECT_EQ((*pl25)["model"], "PL25");

    const json* mv1 = nullptr;
    for (const auto& p : printers)
        if (p["model"] == "PL-MV1") mv1 = &p;
    ASSERT_TRUE(mv1);
    EXPECT_EQ((*mv1)["usbISerialString"], "Enabled") << "from firmware 2.04 on";
    EXPECT_EQ((*mv1)["usbISerial"], true);

    for (const auto& p : printers) {
        const std::string model = p["model"];
        const size_t versions = colourKeyCount(p, "colorTableVersion");
        const size_t checksums = colourKeyCount(p, "colorTableChecksum");
        if (model == "PL45") {
            EXPECT_EQ(versions, 8u);
            EXPECT_EQ(checksums, 8u);
            EXPECT_EQ(p["printerStatus"], "Paper End");
            EXPECT_EQ(p["usbISerialString"], "Disabled");
        } else if (model == "PL35") {
            EXPECT_EQ(versions, 3u);
            EXPECT_EQ(checksums, 3u);
            EXPECT_EQ(p["usbISerialString"], "Enabled");
        } else {
            EXPECT_GE(versions, 1u) << model;
            EXPECT_GE(checksums, 1u) << model;
        }
        // Only keys the printer reported: no colour-table key is null.
        for (auto it = p.begin(); it != p.end(); ++it) {
            if (it.key().rfind("colorTable", 0) == 0) {
                EXPECT_TRUE(it.value().is_string()) << it.key();
            }
        }
    }
    EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
}

TEST(CliList, OnlyTheDuplexModelWithoutAcceptProductAndATable) {
    auto r = runCtl({"--simulate", "PL35:serial=NOPE,PL25D:serial=DUP123", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("SERIAL"), std::string::npos);
    EXPECT_NE(r.out.find("DUP123"), std::string::npos);
    EXPECT_NE(r.out.find("PL25DUP 1.30PRN"), std::string::npos);
    EXPECT_EQ(r.out.find("NOPE"), std::string::npos);
    EXPECT_EQ(lineCount(r.out), 2u) << r.out;
    // Without -v the diagnostic lines stay out of standard error.
    EXPECT_EQ(r.err.find("printer firmware version"), std::string::npos) << r.err;

    auto verbose = runCtl({"-v", "--simulate", "PL25D", "list"});
    ASSERT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.err.find("printer firmware version: PL25DUP 1.30PRN"), std::string::npos);
}

TEST(CliList, SerialSelectsOnePrinterOrNone) {
    auto r = runCtl({"--json", "--serial", "B", "--simulate", "PL25D:serial=A,PL25D:serial=B", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    json printers = json::parse(r.out, nullptr, false);
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0]["printerSerialNumber"], "B");

    // A printer that never answers for its serial number is found by the one its USB descriptor reports.
    auto usb = runCtl({"--json", "--accept-product", "0x5C01", "--serial", "7C9000001", "--simulate",
                       "PL25D:serial=A,PL35:serial=7C9000001:iserial=1:fault=noreply@SERIAL_NUMBER*always", "list"});
    ASSERT_EQ(usb.status, 0) << usb.err;
    printers = json::parse(usb.out, nullptr, false);
    ASSERT_EQ(printers.size(), 1u) << usb.out;
    EXPECT_TRUE(printers[0]["printerSerialNumber"].is_null());
    EXPECT_EQ(printers[0]["serialNumberUSB"], "7C9000001");

    auto none = runCtl({"--serial", "C", "--simulate", "PL25D:serial=A", "list"});
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(none.out.empty());
    EXPECT_NE(none.err.find("\"C\""), std::string::npos) << none.err;

    auto noneJson = runCtl({"--json", "--serial", "C", "--simulate", "PL25D:serial=A", "reset-counter", "A"});
    EXPECT_EQ(noneJson.status, 3);
    json error = json::parse(noneJson.out, nullptr, false);
    ASSERT_TRUE(error.is_object()) << noneJson.out;
    EXPECT_EQ(error["exitStatus"], 3);
    EXPECT_NE(error.value("error", "").find("\"C\""), std::string::npos);
}


// A printer whose USB serial-number setting answers only at the second asking is listed with that setting, not
// with what ovnctl knew before it came.
TEST(CliList, WaitsForTheSerialNumberSettingOfAPrinterThatAnswersLate) {
    auto r = runCtl({"--json", "--accept-product", "0x5C01", "--simulate",
                     "PL35:iserial=1:fault=noreply@MNT_RD.USB_ISERI_SET*1", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    json printers = json::parse(r.out, nullptr, false);
    ASSERT_EQ(printers.size(), 1u) << r.out;
    EXPECT_EQ(printers[0]["usbISerialString"], "Enabled");
}

TEST(CliUsage, BadInputIsOneLineWithStatusTwoAndReachesNoPrinter) {
    auto dir = tempDir();
    const std::string trace = (dir / "trace.jsonl").string();
    struct Case {
        std::vector<std::string> args;
        std::string named;  // what the message must name
    };
    const std::vector<Case> cases = {
        {{"--simulate", "PL25D", "frobnicate"}, "frobnicate"},
        {{"--simulate", "PL25D", "--frobnicate", "list"}, "--frobnicate"},
        {{"--simulate", "PL25D", "list", "--frobnicate"}, "--frobnicate"},
        {{"--simulate", "PL99:serial=X", "list"}, "PL99"},
        {{"--simulate", "PL25D:busy=maybe", "list"}, "busy"},
        {{"--simulate", "", "list"}, "--simulate"},
        {{"--simulate", "PL25D", "--accept-product", "0x5G01", "list"}, "0x5G01"},
        {{"--simulate", "PL25D", "--accept-product", "70000", "list"}, "70000"},
        {{"--simulate", "PL25D", "--timeout", "-4", "list"}, "timeout"},
        {{"--simulate", "PL25D", "reset-counter", "Z"}, "Z"},
        {{"--simulate", "PL25D", "reset-counter"}, "counter"},
        {{"--simulate", "PL25D", "iserial", "maybe"}, "maybe"},
        {{"--simulate", "PL25D", "--trace-usb", (dir / "missing" / "t.jsonl").string(), "list"}, "missing"},
        {{"--simulate", "PL25D", "--serial", "", "list"}, "serial"},
        {{}, "command"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        // A trace file beside every case: nothing may be sent.
        args.insert(args.begin(), {"--trace-usb", trace});
        if (c.named == "missing") args.erase(args.begin(), args.begin() + 2);
        auto r = runCtl(args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << joined << r.out;
        EXPECT_EQ(lineCount(r.err), 1u) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << joined << "\n" << r.err;
        EXPECT_TRUE(readTrace(trace).empty()) << joined << ": a transfer happened";
    }
}



TEST(CliUsage, NoAcceptedPrinterWithinTimeoutIsStatusThree) {
    auto start = std::chrono::steady_clock::now();
    auto r = runCtl({"--simulate", "PL35", "--timeout", "1", "reset-counter", "A"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("no supported printer"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

namespace {

const std::string kRewriteFrame = frameHex("FW_UPD", "FLASH_REWRITE");
const std::string kProgramFramePrefix = hexOf(std::string("\x1bPFW_UPDFLASH_PROGRAM"));
const std::string kCounterPrefix = hexOf(std::string("\x1bPMNT_WTCOUNTER_CLR"));
const std::string kISerialWritePrefix = hexOf(std::string("\x1bPMNT_WTUSB_ISERI_SET"));

std::vector<json> progressOf(const std::string& err) {
    std::vector<json> lines;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        json line = json::parse(err.substr(start, end - start), nullptr, false);
        if (line.is_object()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST(CliUpdate, WholeUpdateWithYesThroughBothRestarts) {
    auto dir = tempDir();
    const auto trace = dir / "trace.jsonl";
    auto r = runCtl({"--json", "--trace-usb", trace.string(), "--accept-product", "0x0101", "--simulate",
                     "PL15:serial=UPD1:fw=PL15 01.50:delay=150", "--timeout", "60", "update-firmware", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    json result = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << "standard output holds only the result: " << r.out;
    EXPECT_EQ(result["result"], "updated");
    EXPECT_EQ(result["message"], "Firmware version updated from PL15 01.50 to PL15 01.61");
    EXPECT_EQ(result["printer"]["firmwareVersion"], "PL15 01.61");
    EXPECT_EQ(result["printer"]["printerSerialNumber"], "UPD1");

    // Progress: both restarts, the image write from 0 to its whole size, the phases.
    auto progress = progressOf(r.err);
    size_t restarts = 0, backs = 0;
    std::optional<uint64_t> total;
    bool startSeen = false, endSeen = false;
    std::vector<int> phases;
    for (const auto& p : progress) {
        const std::string phase = p.value("phase", "");
        restarts += phase == "restarting";
        backs += phase == "back";
        if (phase == "writing-image") {
            startSeen = p.value("bytesWritten", -1) == 0;
            total = p.value("bytesTotal", uint64_t{0});
        }
        if (phase == "image-written") endSeen = total && p.value("bytesWritten", uint64_t{0}) == *total;
        if (phase == "phase") phases.push_back(p.value("updatePhase", -1));
    }
    EXPECT_EQ(restarts, 2u) << r.err;
    EXPECT_GE(backs, 2u);
    EXPECT_TRUE(startSeen && endSeen) << r.err;
    ASSERT_TRUE(total);
    EXPECT_GT(*total, 1000u);
    EXPECT_EQ(*total % 4, 0u) << "the padded image";
    ASSERT_GE(phases.size(), 2u);
    EXPECT_EQ(phases[0], 1);
    EXPECT_EQ(phases[1], 2);

    // On the wire: one restart request, then one image frame of header plus image, in that order.
    auto transfers = readTrace(trace);
    auto rewrites = framesStartingWith(transfers, kRewriteFrame);
    auto programs = framesStartingWith(transfers, kProgramFramePrefix);
    ASSERT_EQ(rewrites.size(), 1u);
    EXPECT_EQ(rewrites[0]["length"], 32);
    EXPECT_EQ(rewrites[0]["hex"], kRewriteFrame);
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0]["length"], 32 + *total);
    EXPECT_EQ(programs[0]["result"], "kIOReturnSuccess");
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(*total));
    EXPECT_EQ(programs[0]["hex"].get<std::string>().substr(48, 16), hexOf(digits)) << "the length field";
    EXPECT_LT(rewrites[0]["time"].get<double>(), programs[0]["time"].get<double>());
}


TEST(CliUpdate, NewerInstalledFirmwareIsRefusedUnlessAllowedForThisRun) {
    auto dir = tempDir();
    const std::string config = "XDG_CONFIG_HOME=" + dir.string();
    auto refused = runCtl({"--accept-product", "0x0101", "--simulate", "PL15:fw=PL15 01.70", "update-firmware", "--yes"},
                          "", {config});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Firmware update not needed"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("1.70"), std::string::npos);

    auto allowed = runCtl({"--accept-product", "0x0101", "--simulate", "PL15:fw=PL15 01.70:delay=100",
                           "update-firmware", "--yes", "--allow-older"},
                          "", {config});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_NE(allowed.out.find("from PL15 01.70 to PL15 01.61"), std::string::npos);
    // Nothing of the run reached the user's settings.
    EXPECT_FALSE(std::filesystem::exists(dir / "ovn-utility")) << "settings were written";
}

TEST(CliUpdate, NotReadyPrinterIsRetriedUntilTheTimeoutThenCancelled) {
    auto dir = tempDir();
    const auto trace = dir / "t.jsonl";
    auto r = runCtl({"--trace-usb", trace.string(), "--accept-product", "0x0101", "--simulate", "PL15:status=01100",
                     "--timeout", "3", "update-firmware", "--yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(countOf(r.err, "== Printer Not Ready"), 2u) << r.err;
    EXPECT_GE(countOf(r.err, "-> Proceed"), 1u);
    EXPECT_EQ(countOf(r.err, "-> Cancel"), 1u);
    EXPECT_NE(r.err.find("Paper End"), std::string::npos);
    EXPECT_TRUE(framesStartingWith(readTrace(trace), kRewriteFrame).empty()) << "no restart of a printer not ready";
}

TEST(CliUpdate, PrinterThatNeverComesBackIsStatusThree) {
    // The printer loses power as the restart request arrives and never returns.
    auto r = runCtl({"--accept-product", "0x0101", "--simulate", "PL15:fault=powerloss@FW_UPD.FLASH_REWRITE",
                     "--timeout", "2", "update-firmware", "--yes"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("did not come back"), std::string::npos) << r.err;
}

TEST(CliMaintenance, CounterResetSendsTheFrameOfEachLetter) {
    for (char letter : {'A', 'B', 'M'}) {
        auto dir = tempDir();
        const auto trace = dir / "t.jsonl";
        auto r = runCtl({"--trace-usb", trace.string(), "--simulate", "PL25D:serial=CNT", "reset-counter",
                         std::string(1, letter)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("counter ") + letter + " reset"), std::string::npos) << r.out;
        auto frames = framesStartingWith(readTrace(trace), kCounterPrefix);
        ASSERT_EQ(frames.size(), 1u) << letter;
        const std::string payload = std::string("C") + letter + "\r" + std::string(1, '\0');
        EXPECT_EQ(frames[0]["hex"], frameHex("MNT_WT", "COUNTER_CLR", payload)) << letter;
        EXPECT_EQ(frames[0]["length"], 36);
    }
}

TEST(CliMaintenance, BusyPrinterIsNotResetAndFails) {
    auto dir = tempDir();
    const auto trace = dir / "t.jsonl";
    auto r = runCtl({"--trace-usb", trace.string(), "--simulate", "PL25D:busy=1", "--timeout", "20", "reset-counter",
                     "A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
    EXPECT_TRUE(framesStartingWith(readTrace(trace), kCounterPrefix).empty());
}

TEST(CliMaintenance, ISerialChangeWritesTheSettingAndReadsItBack) {
    struct Case {
        std::string initial;
        std::string command;
        char written;
    };
    for (const Case& c : {Case{"0", "on", '1'}, Case{"1", "off", '0'}}) {
        auto dir = tempDir();
        const auto trace = dir / "t.jsonl";
        auto r = runCtl({"--json", "--trace-usb", trace.string(), "--accept-product", "0x5C01", "--simulate",
                         "PL35:serial=IS:iserial=" + c.initial, "iserial", c.command});
        ASSERT_EQ(r.status, 0) << r.err;
        json result = json::parse(r.out, nullptr, false);
        ASSERT_TRUE(result.is_object()) << r.out;
        EXPECT_EQ(result["result"], "changed");
        EXPECT_EQ(result["usbISerial"], c.command == "on");
        EXPECT_EQ(result["usbISerialString"], c.command == "on" ? "Enabled" : "Disabled");
        auto transfers = readTrace(trace);
        auto writes = framesStartingWith(transfers, kISerialWritePrefix);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0]["hex"],
                  frameHex("MNT_WT", "USB_ISERI_SET", std::string("0") + c.written + "\r" + std::string(1, '\0')));
        // Read back after the write.
        auto reads = framesStartingWith(transfers, frameHex("MNT_RD", "USB_ISERI_SET"));
        ASSERT_GE(reads.size(), 2u) << "probe read and read-back";
        EXPECT_GT(reads.back()["time"].get<double>(), writes[0]["time"].get<double>());
        EXPECT_NE(r.err.find("power-cycle"), std::string::npos) << r.err;
    }
}


TEST(CliWatch, ShowsStatusChangesUntilInterrupted) {
    for (int sig : {SIGINT, SIGTERM}) {
        Child child({"--simulate", "PL25D:serial=W1,PL25D:serial=W2:status=01100", "watch"}, "");
        ASSERT_TRUE(child.waitForOutput("Paper End", 20000));
        ASSERT_TRUE(child.waitForOutput("Idle", 20000));
        child.signal(sig);
        auto r = child.finish(20000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(countOf(r.out, "added"), 2u) << r.out;
        // A status is shown when it changes, not at every query.
        EXPECT_EQ(countOf(r.out, "Paper End"), 1u) << r.out;
    }
}

TEST(CliUpdate, PrinterWaitingForFirmwareIsUpdatedOnceAndListingStartsNothing) {
    auto dir = tempDir();
    const auto listTrace = dir / "list.jsonl";
    auto list = runCtl({"--json", "--trace-usb", listTrace.string(), "--accept-product", "0x0101", "--simulate",
                        "PL15:serial=FU:status=FU00001", "--timeout", "20", "list"});
    ASSERT_EQ(list.status, 0) << list.err;
    json printers = json::parse(list.out, nullptr, false);
    ASSERT_EQ(printers.size(), 1u) << list.out;
    EXPECT_EQ(printers[0]["printerStatus"], "Firmware Update Mode");
    EXPECT_TRUE(framesStartingWith(readTrace(listTrace), kProgramFramePrefix).empty()) << "list sent an image";

    const auto trace = dir / "update.jsonl";
    auto r = runCtl({"--trace-usb", trace.string(), "--accept-product", "0x0101", "--simulate",
                     "PL15:serial=FU:status=FU00001:delay=100", "--timeout", "30", "update-firmware", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("firmware updated"), std::string::npos);
    auto transfers = readTrace(trace);
    EXPECT_EQ(framesStartingWith(transfers, kProgramFramePrefix).size(), 1u) << "the image is sent exactly once";
    EXPECT_TRUE(framesStartingWith(transfers, kRewriteFrame).empty()) << "it already waits: no restart request";
}
