// The status poll of the update workflow: 500 ms apart until the awaited status, through a printer held by
// another program, and never past the release of its printer object.
#include <gtest/gtest.h>

#include <chrono>

#include "WorkflowHarness.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

size_t statusQueries(const ovn::sim::OvnPrinterEmulator& emulator) {
    size_t n = 0;
    for (const auto& f : emulator.frames()) n += f.command == DeviceCommand::Status;
    return n;
}

class StatusPoll : public WorkflowTest {};

}  // namespace

TEST_F(StatusPoll, RepeatsHalfASecondApartUntilThePrinterReportsTheAwaitedStatus) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.rawStatus = "01100";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    tp.emulator->clearFrameLog();

    const auto start = std::chrono::steady_clock::now();
    onMain([&] { printer->waitForPrinterStatusCode("00000"); });
    ASSERT_TRUE(pumpUntil([&] { return statusQueries(*tp.emulator) >= 3; }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
        << "two waits of 500 ms lie between three queries";
    EXPECT_EQ(printer->printerStatus(), ZVUSBPrinterOVN::stringForDSStatusString(std::string("01100")));

    tp.emulator->setRawStatus("00000");
    const std::string idle = ZVUSBPrinterOVN::stringForDSStatusString(std::string("00000"));
    ASSERT_TRUE(pumpUntil([&] { return printer->printerStatus() == idle; }, 3000));
    const size_t atEnd = statusQueries(*tp.emulator);
    pumpFor(1200);
    EXPECT_EQ(statusQueries(*tp.emulator), atEnd) << "the poll ended with the awaited status";
}

TEST_F(StatusPoll, WaitsWhileAnotherProgramHoldsThePrinter) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL15;
    setup.rawStatus = "01100";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    tp.emulator->setHeldByOtherApplication(true);
    ASSERT_TRUE(pumpUntil([&] { return tp.emulator->isHeldByOtherApplication(); }));
    tp.emulator->clearFrameLog();

    onMain([&] { printer->waitForPrinterStatusCode("00000"); });
    pumpFor(1100);
    EXPECT_EQ(statusQueries(*tp.emulator), 0u);
    tp.emulator->setRawStatus("00000");
    tp.emulator->setHeldByOtherApplication(false);
    ASSERT_TRUE(pumpUntil([&] { return statusQueries(*tp.emulator) >= 1; }, 3000)) << "the poll goes on once free";
    settle(printer);
    pumpFor(700);
    EXPECT_EQ(statusQueries(*tp.emulator), 1u);
}

TEST_F(StatusPoll, StopsOnceItsPrinterObjectIsReleasedAndDoesNotKeepItAlive) {
    auto registry = std::make_unique<TestRegistry>();
    PrinterSetup setup;
    setup.model = PrinterModel::PL45;
    setup.rawStatus = "01100";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(*registry, tp);
    ASSERT_TRUE(printer);
    tp.emulator->clearFrameLog();

    onMain([&] { printer->waitForPrinterStatusCode("00000"); });
    ASSERT_TRUE(pumpUntil([&] { return statusQueries(*tp.emulator) >= 2; }, 5000));
    std::weak_ptr<ZVUSBPrinterOVN> weak = printer;
    printer.reset();
    registry.reset();  // releases every listed object; the printer stays on the bus
    ASSERT_TRUE(pumpUntil([&] { return weak.expired(); }, 3000)) << "the poll holds no strong reference";
    const size_t atRelease = statusQueries(*tp.emulator);
    pumpFor(1200);
    EXPECT_LE(statusQueries(*tp.emulator), atRelease + 0) << "no query after the release";
    EXPECT_TRUE(tp.emulator->isOnBus());
}
