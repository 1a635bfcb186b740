// The firmware update as the user lives it, against emulated printers: the readiness checks before the restart,
// damaged delivered files, and the USB serial-number setting. (The whole update of every model, on both USB
// providers, is in tests/usbfs.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNSRecord.h"
#include "kit/Kit.h"
#include "platform/Bundle.h"

namespace cat = ovn::OVNFirmwareCatalogue;
using namespace kit;

namespace {

constexpr const char* kConfirmTitle = "-- Warning --\n\nAre you certain you want to update the firmware?";
constexpr const char* kCorruptionTitle = "-- File corruption --\n\nThere is a problem with the firmware files.";

size_t updateWrites(const Slot& s) {
    size_t n = 0;
    for (auto c : {DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram, DeviceCommand::TableClear,
                   DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData})
        n += s.framesOf(c).size();
    return n;
}
// ---------------------------------------------------------------------------------------------------------
// Before the restart

struct ReadinessCase {
    const char* name;
    std::string rawStatus;
    bool held;
    std::string firmware;  // installed
    bool allowOlder;
    Texts titles;    // alerts shown, in order
    bool restarted;  // the restart command was sent
};

class Readiness : public ::testing::TestWithParam<ReadinessCase> {};

TEST_P(Readiness, OnlyAnIdleFreePrinterWithAnOlderFirmwareIsRestarted) {
    const auto& c = GetParam();
    Rig rig;
    if (c.allowOlder) rig.defaults->setObject("installOlderFirmwareVersion", true);
    Slot& s = rig.plugAndConnect(PrinterModel::PL35, SlotOptions::fw(c.firmware));
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    s.emulator->setRawStatus(c.rawStatus);
    if (c.held) s.emulator->setHeldByOtherApplication(true);
    rig.startUpdate(s);
    ASSERT_TRUE(pumpUntil([&] { return rig.presenter->titles().size() >= c.titles.size(); }, waitLimitMs(5000)));
    if (c.restarted) {
        ASSERT_TRUE(pumpUntil([&] { return !s.framesOf(DeviceCommand::FlashRewrite).empty(); }, 5000));
    }
    rig.settle();
    auto titles = rig.presenter->titles();
    ASSERT_GE(titles.size(), c.titles.size());
    EXPECT_EQ(Texts(titles.begin(), titles.begin() + static_cast<long>(c.titles.size())), c.titles);
    EXPECT_EQ(s.framesOf(DeviceCommand::FlashRewrite).size(), c.restarted ? 1u : 0u);
    if (c.rawStatus != "00000") {
        EXPECT_EQ(rig.presenter->last(kNotReadyTitle)->message,
                  "Please correct the following issue: " + ZVUSBPrinterOVN::stringForDSStatusString(c.rawStatus));
    }
    if (!c.restarted) {
        EXPECT_FALSE(rig.bus->isOpenByHost(*s.emulator->deviceId())) << "given back to other programs";
        EXPECT_FALSE(rig.listed(s)->deviceInfoDict()->contains(QELMOR_ZVPrinterDeviceFirmwareStatus));
    }
    if (c.held) s.emulator->setHeldByOtherApplication(false);
    rig.expectSound(s);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Readiness,
    ::testing::Values(
        ReadinessCase{"Idle", "00000", false, "PL35 01.40", false, {kAttentionTitle, kConfirmTitle}, true},
        ReadinessCase{"OutOfPaper", "01100", false, "PL35 01.40", false, {kAttentionTitle, kNotReadyTitle}, false},
        ReadinessCase{"HeldByAnotherProgram", "00000", true, "PL35 01.40", false, {kAttentionTitle, kBusyTitle}, false},
        ReadinessCase{"NewerInstalled", "00000", false, "PL35 09.99", false,
                      {kAttentionTitle, "Firmware update not needed"}, false},
        ReadinessCase{"NewerAllowed", "00000", false, "PL35 09.99", true, {kAttentionTitle, kConfirmTitle}, true},
        ReadinessCase{"SameVersion", "00000", false, "PL35 01.52", false, {kAttentionTitle, kConfirmTitle}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------------
// Damaged delivered files

constexpr const char* kFirmwareFile = "PL35 01.52.fw";

size_t lineStart(const std::string& text, size_t n) {
    size_t pos = 0;
    for (size_t line = 0; line < n; ++line) pos = text.find('\n', pos) + 1;
    return pos;
}

struct Damage {
    const char* name;
    const char* file;
    std::function<void(Resources&, const std::string&)> apply;
};
Damage changed(const char* name, const char* file, std::function<void(std::string&)> edit) {
    return {name, file, [edit](Resources& r, const std::string& f) { r.change(f, edit); }};
}

const Damage kDamages[] = {
    {"Missing", kFirmwareFile, [](Resources& r, const std::string& f) { r.remove(f); }},
    {"Empty", kFirmwareFile, [](Resources& r, const std::string& f) { r.write(f, ""); }},
    changed("ChangedByte", kFirmwareFile, [](std::string& b) { b[b.size() / 2] ^= 0x01; }),
    changed("BadRecordLine", kFirmwareFile, [](std::string& b) { b.insert(lineStart(b, 1), "S1XYZ\n"); }),
    changed("WrongChecksum", kFirmwareFile,
            [](std::string& b) {
                size_t end = lineStart(b, 2) - 1;
                while (b[end - 1] == '\r') --end;
                b[end - 1] = b[end - 1] == '0' ? '1' : '0';
            }),
    changed("CrLfLineEnds", kFirmwareFile,
            [](std::string& b) {
                std::string out;
                for (char c : b) {
                    if (c == '\n') out.push_back('\r');
                    out.push_back(c);
                }
                b.swap(out);
            }),
    {"HundredMegabytes", kFirmwareFile,
     [](Resources& r, const std::string& f) {
         r.change(f, [](std::string&) {});
         std::filesystem::resize_file(r.path(f), 100'000'000);
     }},
    changed("ColourTableChanged", "PL35_600_0111.cwd", [](std::string& b) { b[100] ^= 0x80; }),
    {"ColourTableMissing", "PL35_610_0111.cwd", [](Resources& r, const std::string& f) { r.remove(f); }},
};

class DamagedFile : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedFile, AtTheStartShowsFileCorruptionQuitsAndSendsNothing) {
    const Damage& damage = GetParam();
    Resources resources;
    damage.apply(resources, damage.file);
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL35);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    rig.startUpdate(s);
    ASSERT_TRUE(pumpUntil([&] { return rig.presenter->count(kCorruptionTitle) == 1; }, waitLimitMs(10000)));
    rig.settle();
    EXPECT_EQ(rig.presenter->titles(), Texts{kCorruptionTitle}) << "no warning follows";
    EXPECT_EQ(rig.presenter->last(kCorruptionTitle)->message, "Contact customer support.");
    EXPECT_EQ(rig.presenter->last(kCorruptionTitle)->buttons, Texts{"Quit"});
    EXPECT_EQ(rig.terminationRequests->load(), 1) << "whatever is pressed, the application ends";
    EXPECT_EQ(updateWrites(s), 0u);
    if (std::string(damage.name).ends_with("Missing")) {
        EXPECT_TRUE(Log::contains("\"" + std::string(damage.file) + "\" is missing"));
    } else {
        EXPECT_EQ(rig.listed(s)->deviceInfoDict()->getBool(damage.file), false) << "the verdict is recorded";
    }
    rig.terminationRequests->store(0);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFile, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

// The image damaged while the printer restarts into update mode: the bad-file alert, no partial image; a good
// file put back is sent at the next arrival.
TEST(DamagedAfterTheRestart, BadFileAlertAndTheGoodFileGoesOutLater) {
    Resources resources;
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL35, SlotOptions{});
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    s.wire->afterNext(DeviceCommand::FlashRewrite, [&] { resources.write(kFirmwareFile, "S0garbage\n"); });
    rig.startUpdate(s);
    ASSERT_TRUE(pumpUntil([&] { return rig.presenter->count(kBadFileTitle) == 1; }, waitLimitMs(10000)))
        << rig.presenter->describe();
    EXPECT_TRUE(s.framesOf(DeviceCommand::FlashProgram).empty());
    std::filesystem::remove(resources.path(kFirmwareFile));
    std::filesystem::create_symlink(resources.delivered(kFirmwareFile), resources.path(kFirmwareFile));
    s.emulator->powerCycle();
    EXPECT_TRUE(rig.waitUpdated(s, 20000)) << rig.presenter->describe();
    rig.expectSound(s);
}

// ---------------------------------------------------------------------------------------------------------
// The USB serial-number setting

TEST(ISerial, SwitchingWritesReadsBackAsksForAPowerCycleAndCleansUpQueues) {
    struct Case {
        PrinterModel model;
        std::optional<std::string> firmware;
        bool supported;
    };
    for (const Case& c : {Case{PrinterModel::PL35, std::nullopt, true}, Case{PrinterModel::PL25D, std::nullopt, false},
                          Case{PrinterModel::PLMV1, std::string("PL-MV1 02.03"), false},
                          Case{PrinterModel::PLMV1, std::string("PL-MV1 02.04"), true}}) {
        SCOPED_TRACE(modelName(c.model) + " " + c.firmware.value_or(""));
        Rig rig;
        SlotOptions o;
        o.firmware = c.firmware;
        Slot& s = rig.plugAndConnect(c.model, o);
        ASSERT_TRUE(rig.waitProbed(s));
        rig.settle();
        auto p = rig.listed(s);
        EXPECT_EQ(p->hasISerialSupport(), c.supported);
        s.wire->clearSent();
        onMain([&] { p->setUsbISerial(true); });
        rig.settle();
        pumpFor(50);
        if (!c.supported) {
            EXPECT_TRUE(s.framesOf(DeviceCommand::ISerialWrite).empty());
            EXPECT_TRUE(rig.presenter->shown().empty());
            EXPECT_FALSE(Log::contains("print queue clean-up"));
            continue;
        }
        EXPECT_EQ(s.wire->sent().front(), frame("MNT_WT", "USB_ISERI_SET", {'0', '1', 0x0D, 0}));
        EXPECT_EQ(s.wire->sent().at(1), frame("MNT_RD", "USB_ISERI_SET")) << "read back at once";
        EXPECT_TRUE(s.emulator->iSerialSetting());
        EXPECT_TRUE(p->usbISerial());
        EXPECT_EQ(p->usbISerialString(), "Enabled");
        const char* notice = "Please power-cycle the selected printer now to complete the process!";
        ASSERT_TRUE(pumpUntil([&] { return rig.presenter->count(notice) == 1; }, 3000));
        EXPECT_EQ(rig.presenter->last(notice)->modality, ovn::AlertModality::Application);
    }
}

TEST(ISerial, BusyPrinterGetsTheBusyNoticeAndNothingIsWritten) {
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL45);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    s.emulator->setHeldByOtherApplication(true);
    auto p = rig.listed(s);
    onMain([&] { p->setUsbISerial(true); });
    const char* busy = "The Selected Printer is Unavailable. (Busy)";
    EXPECT_TRUE(pumpUntil([&] { return rig.presenter->count(busy) == 1; }, 3000)) << rig.presenter->describe();
    EXPECT_TRUE(s.framesOf(DeviceCommand::ISerialWrite).empty());
    EXPECT_FALSE(s.emulator->iSerialSetting());
    s.emulator->setHeldByOtherApplication(false);
}

}  // namespace
