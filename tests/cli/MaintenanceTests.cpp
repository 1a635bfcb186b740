// update-firmware, reset-counter, iserial and watch as a script sees them: exit status, standard output, standard
// error, and the frames on the wire (from the --trace-usb file).
#include "CliTestSupport.h"

using namespace clitest;
using nlohmann::json;

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

TEST(CliUpdate, PromptsOnTheTerminalNeverOnStandardOutput) {
    // Agree, continue, confirm.
    auto ok = runCtl({"--accept-product", "0x0101", "--simulate", "PL15:delay=100", "update-firmware"}, "y\n2\n2\n");
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "firmware updated on PL15 5A1004721 (2A71010114100000): Firmware version updated from PL15 01.50 to PL15 01.61\n");
    EXPECT_NE(ok.err.find("I Agree"), std::string::npos);
    EXPECT_NE(ok.err.find("[2] Update Firmware to PL15 01.61"), std::string::npos);

    // Without agreeing "Continue" cannot be chosen; at the end of input the answer is "Quit".
    auto quit = runCtl({"--accept-product", "0x0101", "--simulate", "PL15", "update-firmware"}, "n\n2\n");
    EXPECT_EQ(quit.status, 1);
    EXPECT_TRUE(quit.out.empty()) << quit.out;
    EXPECT_NE(quit.err.find("not available"), std::string::npos) << quit.err;
    EXPECT_NE(quit.err.find("Quit"), std::string::npos);

    // The last confirmation answered "Cancel": nothing is sent.
    auto dir = tempDir();
    const auto trace = dir / "t.jsonl";
    auto cancel = runCtl({"--json", "--trace-usb", trace.string(), "--accept-product", "0x0101", "--simulate", "PL15",
                          "update-firmware"},
                         "yes\nContinue\n1\n");
    EXPECT_EQ(cancel.status, 1) << cancel.err;
    json error = json::parse(cancel.out, nullptr, false);
    ASSERT_TRUE(error.is_object()) << cancel.out;
    EXPECT_NE(error.value("error", "").find("cancelled"), std::string::npos);
    EXPECT_TRUE(framesStartingWith(readTrace(trace), kRewriteFrame).empty());
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

TEST(CliMaintenance, ISerialLeavesPrintersWithoutTheSettingOrAlreadySetAlone) {
    auto dir = tempDir();
    const auto trace = dir / "t.jsonl";
    auto unsupported = runCtl({"--trace-usb", trace.string(), "--simulate", "PL25D", "iserial", "on"});
    EXPECT_EQ(unsupported.status, 1);
    EXPECT_NE(unsupported.err.find("not available"), std::string::npos);
    auto same = runCtl({"--trace-usb", trace.string(), "--accept-product", "0x5C01", "--simulate", "PL35:iserial=1",
                        "iserial", "on"});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("already set"), std::string::npos);
    EXPECT_TRUE(framesStartingWith(readTrace(trace), kISerialWritePrefix).empty());
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
