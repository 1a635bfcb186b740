// `list` of every model, and the exit statuses and messages of bad input.
#include "CliTestSupport.h"

using namespace clitest;
using nlohmann::json;

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
        for (auto it = p.begin(); it != p.end(); ++it)
            if (it.key().rfind("colorTable", 0) == 0) EXPECT_TRUE(it.value().is_string()) << it.key();
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

TEST(CliList, EmptyWhenNoPrinterIsAccepted) {
    auto r = runCtl({"--json", "--simulate", "PL15", "--timeout", "5", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out, nullptr, false), json::array());
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

TEST(CliUsage, JsonErrorsAreJsonOnStandardOutput) {
    auto r = runCtl({"--json", "--simulate", "PL25D", "--accept-product", "nope", "list"});
    EXPECT_EQ(r.status, 2);
    json error = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(error.is_object()) << r.out;
    EXPECT_EQ(error["exitStatus"], 2);
    EXPECT_NE(error.value("error", "").find("nope"), std::string::npos);

    auto unknown = runCtl({"--json", "frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(json::parse(unknown.out, nullptr, false).is_object()) << unknown.out;
}

TEST(CliUsage, HelpDocumentsTheContract) {
    auto r = runCtl({"--help"});
    ASSERT_EQ(r.status, 0);
    for (const char* text : {"--simulate", "--accept-product", "--trace-usb", "--json", "--serial", "--timeout",
                             "list", "update-firmware", "reset-counter", "iserial", "watch", "Exit status",
                             "no matching printer within --timeout"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    auto sub = runCtl({"update-firmware", "--help"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("--allow-older"), std::string::npos);
}

TEST(CliUsage, NoAcceptedPrinterWithinTimeoutIsStatusThree) {
    auto start = std::chrono::steady_clock::now();
    auto r = runCtl({"--simulate", "PL35", "--timeout", "1", "reset-counter", "A"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("no supported printer"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
