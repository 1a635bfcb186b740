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

size_t countOf(const ovn::sim::OvnPrinterEmulator& emulator, DeviceCommand command) {
    size_t n = 0;
    for (const auto& f : emulator.frames()) n += f.command == command;
    return n;
}

size_t updateCommands(const ovn::sim::OvnPrinterEmulator& emulator) {
    return countOf(emulator, DeviceCommand::FlashRewrite) + countOf(emulator, DeviceCommand::FlashProgram) +
           countOf(emulator, DeviceCommand::TableClear) + countOf(emulator, DeviceCommand::TableWriteVersion) +
           countOf(emulator, DeviceCommand::TableWriteData);
}

// Byte offset of the start of line n (0-based) of a text.
size_t lineStart(const Bytes& text, size_t n) {
    size_t pos = 0;
    for (size_t line = 0; line < n; ++line) pos = static_cast<size_t>(std::find(text.begin() + pos, text.end(), '\n') - text.begin()) + 1;
    return pos;
}

struct Damage {
    const char* name;
    std::function<void(ResourceSandbox&, const std::string& file)> apply;
};

const Damage kDamages[] = {
    {"Missing", [](ResourceSandbox& s, const std::string& f) { s.remove(f); }},
    {"Empty", [](ResourceSandbox& s, const std::string& f) { s.write(f, {}); }},
    {"ChangedByte",
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes& b) { b[b.size() / 2] ^= 0x01; });
     }},
    {"BadRecordLine",
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes& b) {
             const std::string bad = "S1XYZ\n";
             b.insert(b.begin() + static_cast<std::ptrdiff_t>(lineStart(b, 1)), bad.begin(), bad.end());
         });
     }},
    {"WrongChecksum",
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes& b) {
             // The last hex digit of the second record (its checksum) is changed.
             size_t end = lineStart(b, 2) - 1;
             while (b[end - 1] == '\r') --end;
             b[end - 1] = b[end - 1] == '0' ? '1' : '0';
         });
     }},
    {"CrLfLineEnds",
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes& b) {
             Bytes out;
             out.reserve(b.size() + b.size() / 40);
             for (uint8_t c : b) {
                 if (c == '\n') out.push_back('\r');
                 out.push_back(c);
             }
             b.swap(out);
         });
     }},
    {"HundredMegabytes",
     [](ResourceSandbox& s, const std::string& f) {
         s.change(f, [](Bytes&) {});
         std::filesystem::resize_file(s.path(f), 100'000'000);
     }},
};

class DamagedFirmwareFile : public WorkflowTest, public ::testing::WithParamInterface<Damage> {};

class DamagedResources : public WorkflowTest {
protected:
    void acceptUpdate() {
        presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
        presenter->script(kConfirmTitle, {Answer::second()});
    }
};

}  // namespace

TEST_P(DamagedFirmwareFile, AtTheStartShowsFileCorruptionAndQuits) {
    ResourceSandbox sandbox;
    GetParam().apply(sandbox, kFirmwareFile);
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kCorruptionTitle));
    settle(printer);
    auto alert = presenter->lastTitled(kCorruptionTitle);
    EXPECT_EQ(alert->message, "Contact customer support.");
    EXPECT_EQ(alert->buttons, std::vector<std::string>{"Quit"});
    EXPECT_EQ(terminations.load(), 1) << "whatever is pressed, the application ends";
    EXPECT_EQ(presenter->titles(), std::vector<std::string>{kCorruptionTitle}) << "no warning follows";
    EXPECT_EQ(updateCommands(*tp.emulator), 0u);
    if (std::string(GetParam().name) != "Missing") {
        EXPECT_EQ(printer->deviceInfoDict()->getBool(kFirmwareFile), false) << "the verdict is recorded";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFirmwareFile, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST_F(DamagedResources, ColourTableDamagedOrMissingAtTheStartStopsBeforeAnythingIsSent) {
    for (bool missing : {false, true}) {
        SCOPED_TRACE(missing ? "missing" : "changed");
        presenter = std::make_shared<ScriptedPresenter>();
        ovn::AlertPresenter::setShared(presenter);
        ResourceSandbox sandbox;
        if (missing)
            sandbox.remove("PL35_610_0111.cwd");
        else
            sandbox.change("PL35_600_0111.cwd", [](Bytes& b) { b[100] ^= 0x80; });
        TestRegistry registry;
        PrinterSetup setup;
        setup.model = PrinterModel::PL35;
        TestPrinter tp(setup);
        auto printer = waitForPrinter(registry, tp);
        ASSERT_TRUE(printer);
        onMain([&] { printer->updateFirmware(); });
        ASSERT_TRUE(waitForAlert(kCorruptionTitle));
        settle(printer);
        EXPECT_EQ(updateCommands(*tp.emulator), 0u);
        if (missing) {
            EXPECT_TRUE(LogCapture::shared().contains("\"PL35_610_0111.cwd\" is missing"));
        }
    }
    EXPECT_EQ(terminations.load(), 2);
}

TEST_F(DamagedResources, FirmwareChangedBeforeTheConfirmationIsAnsweredShowsA7) {
    ResourceSandbox sandbox;
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script(kConfirmTitle, {Answer::second().then([&] {
                          sandbox.change(kFirmwareFile, [](Bytes& b) { b[b.size() / 3] ^= 0x04; });
                      })});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kCorruptionTitle));
    settle(printer);
    auto alert = presenter->lastTitled(kCorruptionTitle);
    EXPECT_EQ(alert->message, "Contact customer support.");
    EXPECT_EQ(alert->buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(terminations.load(), 0);
    EXPECT_EQ(updateCommands(*tp.emulator), 0u);
    EXPECT_FALSE(printer->deviceInfoDict()->contains(QELMOR_ZVPrinterDeviceFirmwareStatus));
    EXPECT_FALSE(printer->inFirmwareUpdate());
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp.emulator->deviceId()));
}

TEST_F(DamagedResources, FirmwareDamagedAfterTheRestartShowsA8AndWaitsForAGoodFile) {
    ResourceSandbox sandbox;
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.restartDelayMs = 300;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return !tp.emulator->isOnBus(); }));
    sandbox.change(kFirmwareFile, [](Bytes& b) { b[b.size() - 10] ^= 0x02; });
    ASSERT_TRUE(waitForAlert(kBadFileTitle));
    auto waiting = registry.printerAt(tp.location);
    ASSERT_TRUE(waiting);
    settle(waiting);
    auto alert = presenter->lastTitled(kBadFileTitle);
    EXPECT_EQ(alert->message, kBadFileMessage);
    EXPECT_EQ(alert->buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(LogCapture::shared().contains("failed to verify firmware archive"));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 0u);
    EXPECT_EQ(tp.emulator->firmwareMode(), ovn::sim::FirmwareMode::Update);
    EXPECT_EQ(waiting->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateWaiting);
    waiting.reset();

    // A good file again, and the printer's next arrival resumes.
    sandbox.restore(kFirmwareFile);
    tp.emulator->powerCycle();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL35 01.52");
}

TEST_F(DamagedResources, FirmwareMissingAfterTheRestartShowsA9AndSendsNoImage) {
    ResourceSandbox sandbox;
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL15;
    setup.restartDelayMs = 300;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return !tp.emulator->isOnBus(); }));
    // The colour tables still match, so the archive check passes; the image is what is missing.
    sandbox.remove("PL15 01.61.fw");
    ASSERT_TRUE(waitForAlert(kBadFileTitle));
    auto waiting = registry.printerAt(tp.location);
    ASSERT_TRUE(waiting);
    settle(waiting);
    EXPECT_TRUE(LogCapture::shared().contains("FAILED Uploading firmware to printer (bad file)"));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 0u);
    EXPECT_EQ(waiting->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateWaiting);
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp.emulator->deviceId())) << "the interface is closed";
}

TEST_F(DamagedResources, ColourTableMissingAfterTheImageIsSkippedAndReported) {
    ResourceSandbox sandbox;
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.restartDelayMs = 300;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return countOf(*tp.emulator, DeviceCommand::FlashProgram) == 1 && !tp.emulator->isOnBus(); }));
    sandbox.remove("PL35_600_0111.cwd");
    ASSERT_TRUE(waitForAlert(kProblemTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    auto last = registry.printerAt(tp.location);
    ASSERT_TRUE(last);
    settle(last);

    EXPECT_EQ(presenter->lastTitled(kProblemTitle)->message,
              "Previous firmware version: " + before + " current version: PL35 01.52");
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 0u);
    EXPECT_EQ(tp.emulator->forbiddenCount(), 0u) << ::testing::PrintToString(tp.emulator->forbiddenReasons());
    std::vector<std::string> versions;
    for (const auto& f : tp.emulator->frames()) {
        if (f.command == DeviceCommand::TableWriteVersion) versions.push_back(std::string(f.payload.begin(), f.payload.end()));
        if (f.command == DeviceCommand::TableWriteData) {
            EXPECT_GT(f.payloadSize, 0u);
        }
    }
    EXPECT_EQ(versions, (std::vector<std::string>{std::string("PL35_300_0111.CWD") + std::string(3, '\0'),
                                                  std::string("PL35_610_0111.CWD") + std::string(3, '\0')}));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::TableWriteData), 2u);
    EXPECT_TRUE(LogCapture::shared().contains("colour table \"PL35_600_0111.cwd\" is missing or empty"));
    EXPECT_EQ(last->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateRebooting)
        << "the update stays unfinished";
    EXPECT_TRUE(pumpUntil([&] { return !last->inFirmwareUpdate(); }, 3000));
}

TEST_F(DamagedResources, ColourTableChangedAfterTheImageSendsNoTableAndReportsTheProblem) {
    ResourceSandbox sandbox;
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL45;
    setup.restartDelayMs = 300;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return countOf(*tp.emulator, DeviceCommand::FlashProgram) == 1 && !tp.emulator->isOnBus(); }));
    sandbox.change("PL45_PP_620_0101.cwd", [](Bytes& b) { b[7] ^= 0x10; });
    ASSERT_TRUE(waitForAlert(kProblemTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_TRUE(LogCapture::shared().contains("failed to verify firmware archive"));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::TableClear), 0u) << "the printer keeps the tables it has";
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::TableWriteData), 0u);
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL45 01.05");
}
