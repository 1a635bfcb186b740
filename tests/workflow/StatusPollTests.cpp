// The status poll of the update workflow: 500 ms apart until the awaited status, through a printer held by
// another program, and never past the release of its printer object.
#include <gtest/gtest.h>

#include <chrono>

#include "WorkflowHarness.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

class StatusPoll : public WorkflowTest {
protected:
    // A printer reporting "01100" whose poll for "00000" has started.
    std::shared_ptr<ZVUSBPrinterOVN> startPolling(PrinterModel model, bool heldByAnother = false) {
        auto printer = start({.model = model, .rawStatus = "01100"});
        if (!printer) return nullptr;
        if (heldByAnother) {
            tp->emulator->setHeldByOtherApplication(true);
            EXPECT_TRUE(pumpUntil([&] { return tp->emulator->isHeldByOtherApplication(); }));
        }
        tp->emulator->clearFrameLog();
        pollStart = std::chrono::steady_clock::now();
        onMain([&] { printer->waitForPrinterStatusCode("00000"); });
        return printer;
    }
    size_t statusQueries() const { return countFrames(*tp->emulator, DeviceCommand::Status); }
    std::chrono::steady_clock::time_point pollStart;
};

}  // namespace

TEST_F(StatusPoll, RepeatsHalfASecondApartUntilThePrinterReportsTheAwaitedStatus) {
    auto printer = startPolling(PrinterModel::PL35);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pumpUntil([&] { return statusQueries() >= 3; }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - pollStart, std::chrono::milliseconds(900))
        << "two waits of 500 ms lie between three queries";
    EXPECT_EQ(printer->printerStatus(), ZVUSBPrinterOVN::stringForDSStatusString(std::string("01100")));

    tp->emulator->setRawStatus("00000");
    const std::string idle = ZVUSBPrinterOVN::stringForDSStatusString(std::string("00000"));
    ASSERT_TRUE(pumpUntil([&] { return printer->printerStatus() == idle; }, 3000));
    const size_t atEnd = statusQueries();
    pumpFor(1200);
    EXPECT_EQ(statusQueries(), atEnd) << "the poll ended with the awaited status";
}

TEST_F(StatusPoll, WaitsWhileAnotherProgramHoldsThePrinter) {
    auto printer = startPolling(PrinterModel::PL15, true);
    ASSERT_TRUE(printer);
    pumpFor(1100);
    EXPECT_EQ(statusQueries(), 0u);
    tp->emulator->setRawStatus("00000");
    tp->emulator->setHeldByOtherApplication(false);
    ASSERT_TRUE(pumpUntil([&] { return statusQueries() >= 1; }, 3000)) << "the poll goes on once free";
    settle(printer);
    pumpFor(700);
    EXPECT_EQ(statusQueries(), 1u);
}

TEST_F(StatusPoll, StopsOnceItsPrinterObjectIsReleasedAndDoesNotKeepItAlive) {
    auto printer = startPolling(PrinterModel::PL45);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pumpUntil([&] { return statusQueries() >= 2; }, 5000));
    std::weak_ptr<ZVUSBPrinterOVN> weak = printer;
    printer.reset();
    registry.reset();  // releases every listed object; the printer stays on the bus
    ASSERT_TRUE(pumpUntil([&] { return weak.expired(); }, 3000)) << "the poll holds no strong reference";
    const size_t atRelease = statusQueries();
    pumpFor(1200);
    EXPECT_EQ(statusQueries(), atRelease) << "no query after the release";
    EXPECT_TRUE(tp->emulator->isOnBus());
}
