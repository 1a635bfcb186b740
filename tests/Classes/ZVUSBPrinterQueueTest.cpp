// Queue discipline: which queue runs what, inline versus queued, and where replies are delivered.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "FakeUSB.h"

using namespace fake;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Reply = ZVUSBPrinter::PrinterReply;

namespace {

class ScriptedPrinter : public ZVUSBPrinter {
public:
    PrinterReply printerReply() override {
        ++replies;
        return nextReply;
    }
    void getDeviceCustomInfo() override {
        customInfoOnQueue =
            isPrinterCommandQueue() && ovn::DispatchQueue::currentLabel() == printerCommandQueue()->label();
        ++customInfo;
    }
    std::atomic<int> replies{0}, customInfo{0};
    std::atomic<bool> customInfoOnQueue{false};
    PrinterReply nextReply = std::vector<uint8_t>{'0', '0', '0', '0', '0', 0};
};

struct QueueFixture : ::testing::Test {
    FakePrinter deviceA, deviceB;
    std::shared_ptr<ScriptedPrinter> a, b;
    void SetUp() override {
        deviceB.setDeviceID("MFG:ACME;MDL:B2;SERN:2;");
        a = makePrinter<ScriptedPrinter>(deviceA);
        b = makePrinter<ScriptedPrinter>(deviceB);
        settle();
    }
    void TearDown() override { settle(); }
    void settle() {
        if (a) waitForCommandQueue(a);
        if (b) waitForCommandQueue(b);
    }
    // Where a block runs: "main", "a", "b" or "none".
    std::string where() {
        if (ZVUSBPrinter::isMainQueue()) return "main";
        if (a && a->isPrinterCommandQueue()) return "a";
        return b && b->isPrinterCommandQueue() ? "b" : "none";
    }
};

}  // namespace

TEST_F(QueueFixture, QueuesAreRecognisedByQueueSpecificValues) {
    Trace trace;
    auto note = [&] { trace.add(std::to_string(a->isPrinterCommandQueue()) + std::to_string(a->isMainQueue())); };
    note();  // the test thread runs on no queue
    onMain(note);
    a->printerCommandQueue()->async(note);
    settle();
    b->printerCommandQueue()->async([&] { trace.add(std::to_string(a->isPrinterCommandQueue())); });
    settle();
    EXPECT_THAT(trace.events(), ElementsAre("00", "01", "10", "0"));
    EXPECT_EQ(ovn::DispatchQueue::main()->specific(ZVUSBPrinter::mainQueueSpecificKey()),
              ovn::DispatchQueue::main().get());

    FakePrinter silent;  // a printer whose command queue does not exist yet
    silent.interface->deviceID.reset();
    EXPECT_TRUE(makePrinter(silent)->isPrinterCommandQueue());
}

TEST_F(QueueFixture, ExchangeFromMainIsQueuedAndItsReplyRunsOnMain) {
    Trace trace;
    std::optional<Reply> received;
    {
        Gate gate(a);
        onMain([&] {
            a->sendPrinterCommand([&] { trace.add("command on " + where()); }, nullptr, [&](Reply reply) {
                trace.add("reply on " + where());
                received = reply;
            });
            trace.add("returned");
        });
        EXPECT_EQ(a->replies.load(), 0);
    }
    runMainUntil([&] { return trace.size() == 3; });
    EXPECT_THAT(trace.events(), ElementsAre("returned", "command on a", "reply on main"));
    ASSERT_TRUE(received && received->has_value());
    EXPECT_EQ(**received, (std::vector<uint8_t>{'0', '0', '0', '0', '0', 0}));
}

TEST_F(QueueFixture, ExchangeInsideAnExchangeRunsInlineBeforeTheOuterContinues) {
    Trace trace;
    a->sendPrinterCommand(
        [&] {
            a->sendPrinterCommand([&] { trace.add("inner command"); }, a->printerCommandQueue(),
                                  [&](Reply) { trace.add("inner reply"); });
            trace.add("after inner");
            a->sendPrinterCommand([&] { trace.add("second command"); }, nullptr,
                                  [&](Reply) { trace.add("second reply on " + where()); });
            trace.add("after second");
        },
        nullptr, nullptr);
    // The main queue is not drained until the exchange is over, so the queued reply cannot overtake it.
    while (a->printerCommandQueue()->pendingCount() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    runMainUntil([&] { return trace.size() == 6; });
    EXPECT_THAT(trace.events(), ElementsAre("inner command", "inner reply", "after inner", "second command",
                                            "after second", "second reply on main"));
}

TEST_F(QueueFixture, ReplyQueueEqualToCommandQueueRunsInsideTheSameExchange) {
    Trace trace;
    {
        Gate gate(a);
        a->sendPrinterCommand([&] { trace.add("command 1"); }, a->printerCommandQueue(),
                              [&](Reply) { trace.add("reply 1 on " + where()); });
        a->sendNoReplyPrinterCommand([&] { trace.add("command 2"); });
    }
    waitForCommandQueue(a);
    EXPECT_THAT(trace.events(), ElementsAre("command 1", "reply 1 on a", "command 2"));
}

TEST_F(QueueFixture, ReplyGoesToTheGivenQueue) {
    auto replyQueue = ovn::DispatchQueue::createSerial("test.reply-queue");
    std::promise<std::string> label;
    a->sendPrinterCommand([] {}, replyQueue, [&](Reply) { label.set_value(ovn::DispatchQueue::currentLabel()); });
    auto future = label.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(future.get(), "test.reply-queue");
}

TEST_F(QueueFixture, ExchangeIssuedFromAnotherPrintersQueueIsQueuedOnItsOwn) {
    Trace trace;
    {
        Gate gate(a);  // a's queue is busy: an inline run would show up before b's block ends
        b->sendNoReplyPrinterCommand([&] {
            a->sendNoReplyPrinterCommand([&] { trace.add("a command on " + ovn::DispatchQueue::currentLabel()); });
            trace.add("b block ends");
        });
        waitForCommandQueue(b);
    }
    waitForCommandQueue(a);
    EXPECT_THAT(trace.events(), ElementsAre("b block ends", "a command on " + a->printerCommandQueue()->label()));
}

TEST_F(QueueFixture, ExchangesRunInTheOrderIssued) {
    Trace trace;
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) expected.push_back(std::to_string(i));
    onMain([&] {
        for (const auto& n : expected) a->sendPrinterCommand([&trace, n] { trace.add(n); }, nullptr, nullptr);
    });
    waitForCommandQueue(a);
    EXPECT_EQ(trace.events(), expected);
}

TEST_F(QueueFixture, MissingCommandBlockIsAnAssertionAndRunsNothing) {
    LogCapture logs;
    bool replied = false;
    a->sendPrinterCommand(nullptr, nullptr, [&](Reply) { replied = true; });
    a->sendNoReplyPrinterCommand(nullptr);
    waitForCommandQueue(a);
    EXPECT_FALSE(replied);
    EXPECT_EQ(a->replies.load(), 0);
    auto errors = logs.lines(ovn::LogChannel::StdErr);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_THAT(errors[0], HasSubstr("you must supply a commandBlock"));
    EXPECT_THAT(errors[0], HasSubstr("Classes/ZVUSBPrinter"));

    // Without a reply block the exchange still reads the reply.
    bool ran = false;
    a->sendPrinterCommand([&] { ran = true; }, nullptr, nullptr);
    waitForCommandQueue(a);
    EXPECT_TRUE(ran);
    EXPECT_EQ(a->replies.load(), 1);
}

TEST_F(QueueFixture, SyncOnMainWaitsForTheMainQueueAndRunsInlineThere) {
    Trace trace;
    a->sendNoReplyPrinterCommand([&] {
        ZVUSBPrinter::performSyncOnMainQueue([&] { trace.add("block on " + where()); });
        trace.add("command continues");
    });
    waitForCommandQueue(a);
    onMain([&] {
        ZVUSBPrinter::performSyncOnMainQueue([&] { trace.add("inner"); });
        trace.add("outer");
    });
    EXPECT_THAT(trace.events(), ElementsAre("block on main", "command continues", "inner", "outer"));
}

TEST_F(QueueFixture, CloseIsQueuedEvenFromTheCommandQueue) {
    Trace trace;
    a->sendNoReplyPrinterCommand([&] {
        a->closeInterface([&](IOReturn) { trace.add("closed"); });
        trace.add("exchange ends");
    });
    waitForCommandQueue(a);
    EXPECT_THAT(trace.events(), ElementsAre("exchange ends", "closed"));
}

TEST_F(QueueFixture, ProbeAndHotPlugRunOnTheCommandQueue) {
    LogCapture logs;
    onMain([&] { a->probe(); });
    waitForCommandQueue(a);
    EXPECT_TRUE(logs.hasSys("running probe on OVN PL25D A123"));
    EXPECT_EQ(a->customInfo.load(), 1);
    EXPECT_TRUE(a->customInfoOnQueue.load());

    a->updateInfo();
    waitForCommandQueue(a);
    EXPECT_EQ(a->customInfo.load(), 2);

    deviceA.log->clear();
    a->hotPlug();
    waitForCommandQueue(a);
    EXPECT_THAT(deviceA.log->entries(), ElementsAre("USBDeviceOpen", "USBDeviceReEnumerate 0", "USBDeviceClose"));
    EXPECT_TRUE(logs.hasSys("Successfully reenumerated OVN PL25D A123"));
}

TEST_F(QueueFixture, QueuedWorkKeepsTheObjectAlive) {
    std::weak_ptr<ZVUSBPrinter> weak = a;
    std::atomic<bool> ranWithObject{false};
    {
        Gate gate(a);
        a->sendNoReplyPrinterCommand([&ranWithObject, weak] { ranWithObject = !weak.expired(); });
        a.reset();
        EXPECT_FALSE(weak.expired());
    }
    runMainUntil([&] { return weak.expired(); });
    EXPECT_TRUE(ranWithObject.load());
    EXPECT_TRUE(weak.expired());
}

TEST_F(QueueFixture, MainThreadNeverWaitsForABusyCommandQueue) {
    std::atomic<int> completions{0};
    {
        Gate gate(a);  // the command queue is busy for as long as the main block runs
        onMain([&] {
            a->openInterface([&](IOReturn) { ++completions; });
            a->closeInterface([&](IOReturn) { ++completions; });
            a->sendPrinterCommand([] {}, nullptr, [&](Reply) { ++completions; });
            a->update1284DeviceID([&](bool, const ZVUSBPrinter::Text&) { ++completions; });
            a->probe();
            a->setIsOwned(0);
            a->getPipes();
        });
        EXPECT_EQ(completions.load(), 0);  // every call returned without running its work
    }
    waitForCommandQueue(a);
    EXPECT_EQ(completions.load(), 4);
}
