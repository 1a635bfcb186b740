// The firmware update as the user lives it, against emulated printers: every model updated across both
// restarts (alerts, frames in order, image and tables byte for byte), the readiness checks before the restart,
// damaged delivered files, and the USB serial-number setting.
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
constexpr const char* kConfirmMessage =
    "The printer may be permanently damaged if it is unplugged or loses power during the update process.";
constexpr const char* kCorruptionTitle = "-- File corruption --\n\nThere is a problem with the firmware files.";

Bytes padded(std::string text) {
    Bytes b(text.begin(), text.end());
    b.resize(ovn::OVNSRecord::paddedLength(b.size()), 0);
    return b;
}
std::filesystem::path delivered(const std::string& name) {
    return std::filesystem::path(ovn::Bundle::resourceDirectory()) / name;
}
uint64_t hashOf(const Bytes& b) { return sim::fnv1a64(b.data(), b.size()); }
std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}
bool isWrite(const sim::FrameRecord& f) {
    using C = DeviceCommand;
    return f.command && (*f.command == C::FlashRewrite || *f.command == C::FlashProgram || *f.command == C::TableClear ||
                         *f.command == C::TableWriteVersion || *f.command == C::TableWriteData);
}
bool isTableQuery(const sim::FrameRecord& f, const std::string& what) {
    return f.commandName.rfind("TBL_RD", 0) == 0 && f.commandName.find(what) != std::string::npos;
}
// Whether frames (from, to) hold at least one colour-table version query and one checksum query.
bool refreshBetween(const std::vector<sim::FrameRecord>& frames, size_t from, size_t to) {
    bool version = false, checksum = false;
    for (size_t i = from + 1; i < to && i < frames.size(); ++i) {
        version = version || isTableQuery(frames[i], "Version");
        checksum = checksum || isTableQuery(frames[i], "Checksum") || frames[i].commandName == "MNT_RD CTRLD_CHKSUM";
    }
    return version && checksum;
}
size_t updateWrites(const Slot& s) {
    auto f = s.emulator->frames();
    return static_cast<size_t>(std::count_if(f.begin(), f.end(), isWrite));
}

class EveryModel : public ::testing::TestWithParam<PrinterModel> {};

TEST_P(EveryModel, UpdatesAcrossBothRestartsAndRewritesItsColourTables) {
    const PrinterModel model = GetParam();
    const auto* row = cat::rowForProductID(sim::modelInfo(model).productId);
    ASSERT_TRUE(row);
    const std::string offered = offeredFirmware(model);
    const auto tables = row->colorTableFiles();
    const bool mv1 = model == PrinterModel::PLMV1;

    Rig rig;
    Slot& s = rig.plugAndConnect(model);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    const std::string before = s.emulator->firmwareVersion();
    ASSERT_NE(before, offered);
    s.emulator->clearFrameLog();
    s.wire->clearSent();
    rig.startUpdate(s);
    ASSERT_TRUE(rig.waitUpdated(s, 20000)) << rig.presenter->describe();
    rig.settle();

    // What the user saw.
    ASSERT_EQ(rig.presenter->titles(), (Texts{kAttentionTitle, kConfirmTitle, kSuccessTitle}));
    auto shown = rig.presenter->shown();
    const std::string warning =
        mv1 ? "This update tool is for the OVN MV1 printer. It will upgrade the printer to firmware version " +
                  offered +
                  ".\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media packs. Please use up all MV1 "
                  "media before using this update tool. This process cannot be undone."
            : "This update tool will upgrade the printer firmware to version " + offered +
                  ". This process cannot be undone";
    EXPECT_EQ(shown[0].message, warning);
    EXPECT_EQ(shown[0].buttons, (Texts{"Quit", "Continue"}));
    EXPECT_EQ(shown[0].style, ovn::AlertStyle::Critical);
    EXPECT_EQ(shown[0].checkboxTitle, "I Agree");
    EXPECT_TRUE(shown[0].secondButtonBound) << "\"Continue\" follows the box";
    EXPECT_EQ(shown[1].message, kConfirmMessage);
    EXPECT_EQ(shown[1].buttons, (Texts{"Cancel", "Update Firmware to " + offered}));
    EXPECT_EQ(shown[2].message, "Firmware version updated from " + before + " to " + offered);
    EXPECT_EQ(shown[2].buttons, Texts{"Finish"});
    for (const auto& a : shown) EXPECT_EQ(a.modality, ovn::AlertModality::Sheet);
    rig.expectSound(s);

    // The printer's side.
    EXPECT_EQ(s.emulator->restartCount(), mv1 ? 3 : 2);
    EXPECT_EQ(s.emulator->malformedCount(), 0u);
    const auto frames = s.emulator->frames();
    std::vector<size_t> writes;
    for (size_t i = 0; i < frames.size(); ++i)
        if (isWrite(frames[i])) writes.push_back(i);
    std::vector<DeviceCommand> expected{DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram, DeviceCommand::TableClear};
    for (size_t i = 0; i < tables.size(); ++i)
        expected.insert(expected.end(), {DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData});
    ASSERT_EQ(writes.size(), expected.size()) << ::testing::PrintToString(s.commands());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[writes[i]].command, expected[i]) << "write " << i;
    EXPECT_FALSE(frames[writes[0]].inUpdateMode);
    EXPECT_EQ(frames[writes[0]].payloadSize, 0u);

    const Bytes image = padded(readFile(delivered(row->firmwareFile())));
    const auto& program = frames[writes[1]];
    EXPECT_TRUE(program.inUpdateMode);
    EXPECT_EQ(program.payloadSize, image.size());
    EXPECT_EQ(program.payloadHash, hashOf(image)) << "the whole file, zero-padded to a multiple of 4";
    char lengthField[16];
    std::snprintf(lengthField, sizeof lengthField, "%08zu", image.size());
    auto sent = s.wire->sent();
    auto header = std::find_if(sent.begin(), sent.end(), [](const Bytes& b) {
        return textOf(Bytes(b.begin() + 2, b.begin() + std::min<size_t>(b.size(), 24))) == "FW_UPDFLASH_PROGRAM   ";
    });
    ASSERT_NE(header, sent.end());
    EXPECT_EQ(textOf(Bytes(header->begin() + 24, header->begin() + 32)), lengthField);

    EXPECT_TRUE(refreshBetween(frames, writes[2], writes[3])) << "versions and checksums are read after TBL_CL";
    auto written = s.emulator->colourTables();
    for (size_t t = 0; t < tables.size(); ++t) {
        SCOPED_TRACE(tables[t]);
        const std::string contents = readFile(delivered(tables[t]));
        EXPECT_EQ(frames[writes[3 + 2 * t]].payload, padded(upper(tables[t])));
        const auto& data = frames[writes[4 + 2 * t]];
        EXPECT_EQ(data.payloadSize, contents.size());
        EXPECT_EQ(data.payloadHash, hashOf(Bytes(contents.begin(), contents.end())));
        const size_t next = 5 + 2 * t < writes.size() ? writes[5 + 2 * t] : frames.size();
        EXPECT_TRUE(refreshBetween(frames, writes[4 + 2 * t], next)) << "refresh after the table";
        EXPECT_TRUE(std::any_of(written.begin(), written.end(),
                                [&](auto& w) { return w.second.versionName == upper(tables[t]); }));
    }

    auto last = rig.listed(s);
    EXPECT_EQ(last->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateFinished);
    EXPECT_EQ(last->firmwareVersion(), offered);
    EXPECT_EQ(Log::count("found a device rebooting after firmware update"), mv1 ? 2u : 1u);
    EXPECT_TRUE(Log::contains("Uploading firmware to printer"));
    EXPECT_GE(rig.printerObjectsSeen(), mv1 ? 4u : 3u) << "a new object at each arrival";
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryModel, ::testing::ValuesIn(allModels()),
                         [](const auto& info) { return modelName(info.param); });

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
