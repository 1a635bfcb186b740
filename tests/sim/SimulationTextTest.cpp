// The description text of simulated printers: values and every error.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/OvnDeviceProtocol.h"
#include "sim/SimulationText.h"

namespace ovn::sim {
namespace {

// Every setting of a parsed printer in one line ("-": not given).
std::string summary(const SimulatedPrinterSetup& s) {
    const EmulatorConfig& c = s.config;
    char vendor[8], location[16] = "-";
    std::snprintf(vendor, sizeof vendor, "%04X", c.vendorId);
    if (s.hasLocation) std::snprintf(location, sizeof location, "%08X", c.locationId);
    std::string out = std::string(modelInfo(c.model).name) + " serial=" + (s.hasSerial ? c.serial : "-") +
                      " fw=" + c.firmwareVersion.value_or("-") + " status=" + c.rawStatus +
                      " busy=" + std::to_string(s.busy) + " iserial=" + std::to_string(c.iSerial) +
                      " life=" + (c.lifetimeCounter ? std::to_string(*c.lifetimeCounter) : "-") +
                      " vendor=" + vendor + " location=" + location +
                      " delay=" + std::to_string(c.restartDelayMs) + " settle=" + std::to_string(c.settleMs);
    for (const auto& f : c.faults)
        out += std::string(" fault=") + faultName(f.fault) + "@" + (f.command ? commandName(*f.command) : "-") + "*" +
               (f.count == kFaultForever ? "always" : std::to_string(f.count));
    return out;
}

TEST(SimulationText, EveryKeyLandsInThePrintersSettings) {
    auto r = parseSimulationText(
        "PL35:serial=7C0001:fw=PL35 01.40:status=01100:busy=1:iserial=1:life=12345:vendor=0x2A72:"
        "location=14500000:fault=noreply@STATUS*3:fault=late:delay=2500:settle=40, PL-MV1 ,PL25D:fault=busy@TBL_WT.Version*always");
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(3u, r.printers.size());
    EXPECT_EQ(summary(r.printers[0]), "PL35 serial=7C0001 fw=PL35 01.40 status=01100 busy=1 iserial=1 life=12345 "
                                      "vendor=2A72 location=14500000 delay=2500 settle=40 fault=noreply@STATUS*3 "
                                      "fault=late@-*1");
    EXPECT_EQ(summary(r.printers[1]), "PL-MV1 serial=- fw=- status=00000 busy=0 iserial=0 life=- vendor=2A71 "
                                      "location=- delay=2000 settle=1500");
    EXPECT_EQ(summary(r.printers[2]), "PL25D serial=- fw=- status=00000 busy=0 iserial=0 life=- vendor=2A71 "
                                      "location=- delay=2000 settle=1500 fault=busy@TBL_WT Version*always");
    r = parseSimulationText("PL15:status=FU00001");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ("FU00001", r.printers[0].config.rawStatus);
}

TEST(SimulationText, ErrorsNameTheOffendingPartExactly) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"PL99:serial=1", "unknown model 'PL99' in 'PL99:serial=1'"},
        {"pl15", "unknown model 'pl15' in 'pl15'"},
        {"", "no printer described in ''"},
        {"PL15,,PL25", "empty printer description in 'PL15,,PL25'"},
        {"PL15,", "empty printer description in 'PL15,'"},
        {"PL15:serial", "expected key=value, got 'serial' in 'PL15:serial'"},
        {"PL15:color=red", "unknown key 'color' in 'PL15:color=red' (keys: serial, fw, status, busy, iserial, life, "
                           "vendor, location, fault, delay, settle, unplug)"},
        {"PL15:serial=A:serial=B", "key 'serial' given twice in 'PL15:serial=A:serial=B'"},
        {"PL15:serial=", "bad value '' for key 'serial' in 'PL15:serial=' (expected 1 to 64 printable characters)"},
        {"PL15:fw=", "bad value '' for key 'fw' in 'PL15:fw=' (expected 1 to 64 printable characters)"},
        {"PL15:status=idle", "bad value 'idle' for key 'status' in 'PL15:status=idle' (expected 1 to 8 digits, or "
                             "FU00001)"},
        {"PL15:busy=yes", "bad value 'yes' for key 'busy' in 'PL15:busy=yes' (expected 0 or 1)"},
        {"PL35:iserial=2", "bad value '2' for key 'iserial' in 'PL35:iserial=2' (expected 0 or 1)"},
        {"PL15:iserial=1", "the PL15 has no USB serial-number setting: 'iserial=1' in 'PL15:iserial=1'"},
        {"PL15:life=-1", "bad value '-1' for key 'life' in 'PL15:life=-1' (expected a number from 0 to 9999999)"},
        {"PL15:life=10000000", "bad value '10000000' for key 'life' in 'PL15:life=10000000' (expected a number from 0 "
                               "to 9999999)"},
        {"PL15:vendor=0xG", "bad value '0xG' for key 'vendor' in 'PL15:vendor=0xG' (expected a hexadecimal USB vendor "
                            "ID such as 0x2A71)"},
        {"PL15:vendor=0x12345", "bad value '0x12345' for key 'vendor' in 'PL15:vendor=0x12345' (expected a hexadecimal "
                                "USB vendor ID such as 0x2A71)"},
        {"PL15:location=0", "bad value '0' for key 'location' in 'PL15:location=0' (expected a non-zero hexadecimal USB "
                            "location such as 0x14100000)"},
        {"PL15:delay=fast", "bad value 'fast' for key 'delay' in 'PL15:delay=fast' (expected milliseconds from 0 to "
                            "600000)"},
        {"PL15:delay=600001", "bad value '600001' for key 'delay' in 'PL15:delay=600001' (expected milliseconds from 0 "
                              "to 600000)"},
        {"PL15:fault=explode", "unknown fault 'explode' in 'PL15:fault=explode' (faults: noreply, late, badheader, "
                               "oversize, nocr, disconnect, busy, powerloss)"},
        {"PL15:fault=noreply@NOPE", "unknown command 'NOPE' in fault 'noreply@NOPE' in 'PL15:fault=noreply@NOPE'"},
        {"PL15:fault=noreply@Version", "ambiguous command 'Version' in fault 'noreply@Version' in "
                                       "'PL15:fault=noreply@Version' (write CATEGORY.SUBCOMMAND, e.g. TBL_RD.Version)"},
        {"PL15:fault=noreply@TBL_CL", "fault 'noreply' changes a reply, but TBL_CL is not answered: 'noreply@TBL_CL' in "
                                      "'PL15:fault=noreply@TBL_CL'"},
        {"PL15:fault=late*0", "bad count '0' in fault 'late*0' in 'PL15:fault=late*0' (expected a number from 1 to "
                              "1000000, or always)"},
        {"PL15:serial=X,PL25:serial=X", "serial 'X' used twice, again in 'PL25:serial=X'"},
        {"PL15:location=14100000,PL25:location=0x14100000",
         "location 0x14100000 used twice, again in 'PL25:location=0x14100000'"},
    };
    for (const auto& c : cases) {
        auto r = parseSimulationText(c.text);
        EXPECT_FALSE(r.ok()) << c.text;
        EXPECT_EQ(c.error, r.error) << c.text;
        EXPECT_TRUE(r.printers.empty()) << c.text;
    }
}

}  // namespace
}  // namespace ovn::sim
