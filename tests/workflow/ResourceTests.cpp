// Damaged delivered files: found at the start, at the confirmation, after the first restart and after the
// second one. Every case shows its alert or log line, and nothing damaged (and no partial image) reaches the
// printer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "WorkflowHarness.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

constexpr const char* kFirmwareFile = "PL35 01.52.fw";

// Byte offset of the start of line n (0-based) of a text.
size_t lineStart(const Bytes& text, size_t n) {
    size_t pos = 0;
    for (size_t line = 0; line < n; ++line)
        pos = size_t(std::find(text.begin() + std::ptrdiff_t(pos), text.end(), '\n') - text.begin()) + 1;
    return pos;
}

using Edit = std::function<void(Bytes&)>;
struct Damage {
    const char* name;
    const char* file;
    std::function<void(ResourceSandbox&, const std::string& file)> apply;
};
Damage changed(const char* name, const char* file, Edit edit) {
    return {name, file, [edit](ResourceSandbox& s, const std::string& f) { s.change(f, edit); }};
}

const Damage kDamages[] = {
    {"Missing", kFirmwareFile, [](ResourceSandbox& s, const std::string& f) { s.remove(f); }},
    {"Empty", kFirmwareFile, [](ResourceSandbox& s, const std::string& f) { s.write(f, {}); }},
    changed("ChangedByte", kFirmwareFile, [](Bytes& b) { b[b.size() / 2] ^= 0x01; }),
    changed("BadRecordLine", kFirmwareFile,
            [](Bytes& b) {
                const std::string bad = "S1XYZ\n";
                b.insert(b.begin() + std::ptrdiff_t(lineStart(b, 1)), bad.begin(), bad.end());
            }),
    // The last hex digit of the second record (its checksum) is changed.
    changed("WrongChecksum", kFirmwareFile,
            [](Bytes& b) {
                size_t end = lineStart(b, 2) - 1;
                while (b[end - 1] == '\r') --end;
                b[end - 1] = b[end - 1] == '0' ? '1' : '0';
            }),
    changed("CrLfLineEnds", kFirmwareFile,
            [](Bytes& b) {
                Bytes out;
                for (uint8_t c : b) {
                    if (c == '\n') out.push_back('\r');
                    out.push_back(c);
                }
                b.swap(out);
            }),
    {"HundredMegabytes", kFirmwareFile,
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes&) {});
         std::filesystem::resize_file(s.path(f), 100'000'000);
     }},
    changed("ColourTableChanged", "PL35_600_0111.cwd", [](Bytes& b) { b[100] ^= 0x80; }),
    {"ColourTableMissing", "PL35_610_0111.cwd", [](ResourceSandbox& s, const std::string& f) { s.remove(f); }},
};

class DamagedResources : public WorkflowTest {
protected:
    std::shared_ptr<ZVUSBPrinterOVN> startInSandbox(PrinterModel model) {
        tp.reset();
        sandbox.reset();
        sandbox = std::make_unique<ResourceSandbox>();
        return start({.model = model, .restartDelayMs = 300});
    }
    // Runs the update and waits until the printer has left the bus (after receiving the image, when asked).
    void updateUntilOffTheBus(std::shared_ptr<ZVUSBPrinterOVN>& printer, bool afterTheImage) {
        runUpdate(printer);
        ASSERT_TRUE(pumpUntil([&] {
            return !tp->emulator->isOnBus() &&
                   (!afterTheImage || countFrames(*tp->emulator, DeviceCommand::FlashProgram) == 1);
        }));
    }
    size_t updateCommands() const {
        size_t n = 0;
        for (auto c : {DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram, DeviceCommand::TableClear,
                       DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData})
            n += countFrames(*tp->emulator, c);
        return n;
    }
    std::optional<int64_t> phaseOf(const std::shared_ptr<ZVUSBPrinterOVN>& printer) const {
        return printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
    }
};

class DamagedFile : public DamagedResources, public ::testing::WithParamInterface<Damage> {};

}  // namespace

TEST_P(DamagedFile, AtTheStartShowsFileCorruptionAndQuits) {
    const Damage& damage = GetParam();
    sandbox = std::make_unique<ResourceSandbox>();
    damage.apply(*sandbox, damage.file);
    auto printer = start({.model = PrinterModel::PL35});
    ASSERT_TRUE(printer);
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kCorruptionTitle));
    settle(printer);
    expectAlert(kCorruptionTitle, "Contact customer support.", {"Quit"});
    EXPECT_EQ(terminations.load(), 1) << "whatever is pressed, the application ends";
    EXPECT_EQ(presenter->titles(), std::vector<std::string>{kCorruptionTitle}) << "no warning follows";
    EXPECT_EQ(updateCommands(), 0u);
    if (std::string(damage.name).ends_with("Missing"))
        EXPECT_TRUE(LogCapture::shared().contains("\"" + std::string(damage.file) + "\" is missing"));
    else
        EXPECT_EQ(printer->deviceInfoDict()->getBool(damage.file), false) << "the verdict is recorded";
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFile, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST_F(DamagedResources, FirmwareChangedBeforeTheConfirmationIsAnsweredShowsFileCorruption) {
    auto printer = startInSandbox(PrinterModel::PL35);
    ASSERT_TRUE(printer);
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script(kConfirmTitle, {Answer::second().then([&] {
                          sandbox->change(kFirmwareFile, [](Bytes& b) { b[b.size() / 3] ^= 0x04; });
                      })});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kCorruptionTitle));
    settle(printer);
    expectAlert(kCorruptionTitle, "Contact customer support.", {"OK"});
    EXPECT_EQ(terminations.load(), 0);
    EXPECT_EQ(updateCommands(), 0u);
    EXPECT_FALSE(phaseOf(printer));
    EXPECT_FALSE(printer->inFirmwareUpdate());
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp->emulator->deviceId()));
}

TEST_F(DamagedResources, FirmwareDamagedOrMissingAfterTheRestartShowsTheBadFileAlertAndWaitsForAGoodFile) {
    for (bool missing : {false, true}) {
        SCOPED_TRACE(missing ? "missing" : "changed");
        auto printer = startInSandbox(missing ? PrinterModel::PL15 : PrinterModel::PL35);
        ASSERT_TRUE(printer);
        const std::string file = missing ? "PL15 01.61.fw" : kFirmwareFile;
        const size_t shownBefore = presenter->countTitled(kBadFileTitle);
        ASSERT_NO_FATAL_FAILURE(updateUntilOffTheBus(printer, false));
        // Missing, the colour tables still match and the archive check passes: the image is what is missing.
        if (missing)
            sandbox->remove(file);
        else
            sandbox->change(file, [](Bytes& b) { b[b.size() - 10] ^= 0x02; });
        ASSERT_TRUE(waitForAlert(kBadFileTitle, shownBefore + 1));
        auto waiting = waitForArrival(*registry, *tp, 2);
        ASSERT_TRUE(waiting);
        expectAlert(kBadFileTitle, kBadFileMessage, {"OK"});
        EXPECT_TRUE(LogCapture::shared().contains(missing ? "FAILED Uploading firmware to printer (bad file)"
                                                          : "failed to verify firmware archive"));
        EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashProgram), 0u);
        EXPECT_EQ(tp->emulator->firmwareMode(), ovn::sim::FirmwareMode::Update);
        EXPECT_EQ(phaseOf(waiting), ZVFirmwareUpdateWaiting);
        EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp->emulator->deviceId())) << "the interface is closed";
        waiting.reset();

        // A good file again, and the printer's next arrival resumes.
        sandbox->restore(file);
        tp->emulator->powerCycle();
        ASSERT_TRUE(alertShown(kSuccessTitle, missing ? 2 : 1));
        EXPECT_EQ(tp->emulator->firmwareVersion(), missing ? "PL15 01.61" : "PL35 01.52");
    }
}

TEST_F(DamagedResources, ColourTableMissingAfterTheImageIsSkippedAndReported) {
    auto printer = startInSandbox(PrinterModel::PL35);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();
    ASSERT_NO_FATAL_FAILURE(updateUntilOffTheBus(printer, true));
    sandbox->remove("PL35_600_0111.cwd");
    ASSERT_TRUE(alertShown(kProblemTitle));
    auto last = registry->printerAt(tp->location);
    ASSERT_TRUE(last);
    settle(last);
    EXPECT_EQ(presenter->lastTitled(kProblemTitle)->message,
              "Previous firmware version: " + before + " current version: PL35 01.52");
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 0u);
    EXPECT_EQ(tp->emulator->forbiddenCount(), 0u) << ::testing::PrintToString(tp->emulator->forbiddenReasons());
    std::vector<std::string> versions;
    for (const auto& f : tp->emulator->frames()) {
        if (f.command == DeviceCommand::TableWriteVersion) versions.emplace_back(f.payload.begin(), f.payload.end());
        if (f.command == DeviceCommand::TableWriteData) {
            EXPECT_GT(f.payloadSize, 0u);
        }
    }
    // Nothing is sent unless every table is at hand, and the next arrival does not try again.
    EXPECT_TRUE(versions.empty());
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::TableWriteData), 0u);
    EXPECT_TRUE(LogCapture::shared().contains("colour table \"PL35_600_0111.cwd\" is missing or empty"));
    EXPECT_EQ(phaseOf(last), ZVFirmwareUpdateFinished);
    EXPECT_TRUE(pumpUntil([&] { return !last->inFirmwareUpdate(); }, 3000));
}

TEST_F(DamagedResources, ColourTableChangedAfterTheImageSendsNoTableAndReportsTheProblem) {
    auto printer = startInSandbox(PrinterModel::PL45);
    ASSERT_TRUE(printer);
    ASSERT_NO_FATAL_FAILURE(updateUntilOffTheBus(printer, true));
    sandbox->change("PL45_PP_620_0101.cwd", [](Bytes& b) { b[7] ^= 0x10; });
    ASSERT_TRUE(alertShown(kProblemTitle));
    EXPECT_TRUE(LogCapture::shared().contains("failed to verify firmware archive"));
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::TableClear), 0u) << "the printer keeps the tables it has";
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::TableWriteData), 0u);
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL45 01.05");
}
