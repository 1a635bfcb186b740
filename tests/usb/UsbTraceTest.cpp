#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "UsbTestSupport.h"
#include "usb/UsbTrace.h"

namespace ovn::usb::test {
namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class UsbTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ovn-usb-trace-XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path = pattern;
    }
    void TearDown() override {
        UsbTrace::close();
        ::unlink(path.c_str());
    }
    std::string path;
};

TEST_F(UsbTraceTest, BulkAndControlTransfersOfTheVirtualBusAreTracedAsJsonLines) {
    std::string error;
    ASSERT_TRUE(UsbTrace::open(path, &error)) << error;
    EXPECT_TRUE(UsbTrace::enabled());

    auto bus = VirtualUSBBus::create();
    auto port = bus->IONotificationPortCreate();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = bus->plug(printerDescription(0x0106, 0x14200000), device);
    IOIteratorPtr iterator;
    IONotificationPtr notification;
    ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(port, kIOMatchedNotification, MatchingDict{},
                                                                      [](const IOIteratorPtr&) {}, &iterator,
                                                                      &notification));
    IOServicePtr service = iterator->IOIteratorNext();
    IOUSBInterfaceInterfacePtr interface;
    bool pluginFailed = false;
    ASSERT_EQ(kIOReturnSuccess, bus->CreateInterfaceInterface(service, &interface, &pluginFailed));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());

    std::vector<uint8_t> frame(100);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 100, 5000, 5000));
    device->queueReply({0xAB, 0xCD});
    uint8_t in[16];
    uint32_t size = sizeof in;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 5000, 5000));
    IOUSBDevRequestTO request;
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = 0x0300;
    request.wLength = 255;
    uint8_t languages[255];
    request.pData = languages;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    bus->injectFault(id, {FaultKind::Stall, FaultTransfer::BulkOut, 0, 1, 0});
    ASSERT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, frame.data(), 4, 5000, 5000));
    UsbTrace::close();
    EXPECT_FALSE(UsbTrace::enabled());
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 4, 5000, 5000));

    auto lines = readLines(path);
    ASSERT_EQ(4u, lines.size());
    auto first = nlohmann::ordered_json::parse(lines[0]);
    std::vector<std::string> keys;
    for (auto& item : first.items()) keys.push_back(item.key());
    EXPECT_EQ((std::vector<std::string>{"time", "device", "direction", "transfer", "length", "result", "hex"}), keys);
    EXPECT_EQ("2A71010614200000", first["device"]);
    EXPECT_EQ("out", first["direction"]);
    EXPECT_EQ("bulk", first["transfer"]);
    EXPECT_EQ(100, first["length"]);
    EXPECT_EQ("kIOReturnSuccess", first["result"]);
    std::string expectedHex;
    char pair[3];
    for (size_t i = 0; i < 64; ++i) {
        snprintf(pair, sizeof pair, "%02x", frame[i]);
        expectedHex += pair;
    }
    EXPECT_EQ(expectedHex, first["hex"]) << "only the first 64 bytes, lower-case";
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_TRUE(first["time"].is_number_float());
    EXPECT_NEAR(now, first["time"].get<double>(), 60.0);

    auto second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ("in", second["direction"]);
    EXPECT_EQ(2, second["length"]);
    EXPECT_EQ("abcd", second["hex"]);

    auto third = nlohmann::json::parse(lines[2]);
    EXPECT_EQ("control", third["transfer"]);
    EXPECT_EQ("in", third["direction"]);
    EXPECT_EQ(4, third["length"]);
    EXPECT_EQ("04030904", third["hex"]);

    auto fourth = nlohmann::json::parse(lines[3]);
    EXPECT_EQ("kIOUSBPipeStalled", fourth["result"]);
    EXPECT_EQ(0, fourth["length"]);
    EXPECT_EQ("", fourth["hex"]);
}

TEST_F(UsbTraceTest, AppendsAndKeepsEveryLineWholeAcrossThreads) {
    {
        std::ofstream out(path);
        out << "{\"earlier\":1}\n";
    }
    ASSERT_TRUE(UsbTrace::open(path, nullptr));
    std::vector<std::thread> threads;
    std::vector<uint8_t> payload(200, 0x5A);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i)
                UsbTrace::record(0x2A72, 0x0106, static_cast<uint32_t>(t), UsbTrace::Direction::Out,
                                 UsbTrace::Transfer::Bulk, payload.data(), payload.size(), kIOReturnSuccess);
        });
    for (auto& thread : threads) thread.join();
    UsbTrace::close();
    auto lines = readLines(path);
    ASSERT_EQ(201u, lines.size());
    EXPECT_EQ("{\"earlier\":1}", lines[0]);
    for (size_t i = 1; i < lines.size(); ++i) {
        auto line = nlohmann::json::parse(lines[i]);
        EXPECT_EQ(128u, line["hex"].get<std::string>().size());
        EXPECT_EQ(0u, line["device"].get<std::string>().rfind("2A720106", 0));
    }
}

TEST_F(UsbTraceTest, UnwritableFileIsRefusedWithAOneLineReason) {
    std::string error;
    EXPECT_FALSE(UsbTrace::open("/nonexistent-directory/trace.jsonl", &error));
    EXPECT_FALSE(UsbTrace::enabled());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(std::string::npos, error.find('\n'));
    EXPECT_NE(std::string::npos, error.find("/nonexistent-directory/trace.jsonl"));

    // A directory cannot be a trace file either; a trace that was open is closed.
    ASSERT_TRUE(UsbTrace::open(path, nullptr));
    EXPECT_FALSE(UsbTrace::open("/tmp", &error));
    EXPECT_FALSE(UsbTrace::enabled());
}

TEST(UsbTraceKey, DeviceKeyAndHex) {
    EXPECT_EQ("2A72010114200000", UsbTrace::deviceKey(0x2A72, 0x0101, 0x14200000));
    EXPECT_EQ("00010002000000AB", UsbTrace::deviceKey(1, 2, 0xAB));
    uint8_t bytes[] = {0x00, 0x0F, 0xF0, 0xFF};
    EXPECT_EQ("000ff0ff", UsbTrace::hexPrefix(bytes, 4));
    EXPECT_EQ("000f", UsbTrace::hexPrefix(bytes, 4, 2));
    EXPECT_EQ("", UsbTrace::hexPrefix(nullptr, 4));
}

}  // namespace
}  // namespace ovn::usb::test
