#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "UsbTestSupport.h"
#include "usb/UsbTrace.h"

namespace ovn::usb::test {
namespace {

Lines readLines(const std::string& path) {
    std::ifstream in(path);
    Lines lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class UsbTraceTest : public ServicesFixture {
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
        ServicesFixture::TearDown();
    }
    std::string path;
};

TEST_F(UsbTraceTest, BulkAndControlTransfersOfTheVirtualBusAreTracedAsJsonLines) {
    std::string error;
    ASSERT_TRUE(UsbTrace::open(path, &error)) << error;
    EXPECT_TRUE(UsbTrace::enabled());
    auto bus = VirtualUSBBus::create();
    services = bus;
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = bus->plug(printerDescription(0x0106, 0x14200000), device);
    ASSERT_NO_FATAL_FAILURE(registerMatching());
    auto interface = interfaceOf(arrived.at(0));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());

    Bytes frame(100);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 100, 5000, 5000));
    device->queueReply({0xAB, 0xCD});
    uint8_t in[255];
    uint32_t size = 16;
    ASSERT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 5000, 5000));
    auto languages = deviceRequest(0x0300, 0, 255, in);
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &languages));
    bus->injectFault(id, {FaultKind::Stall, FaultTransfer::BulkOut, 0, 1, 0});
    ASSERT_EQ(kIOUSBPipeStalled, interface->WritePipeTO(1, frame.data(), 4, 5000, 5000));
    UsbTrace::close();
    EXPECT_FALSE(UsbTrace::enabled());
    ASSERT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 4, 5000, 5000));

    auto lines = readLines(path);
    ASSERT_EQ(4u, lines.size());
    std::vector<nlohmann::ordered_json> traced;
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const auto& line : lines) {
        traced.push_back(nlohmann::ordered_json::parse(line));
        ASSERT_EQ("time", traced.back().begin().key());
        EXPECT_TRUE(traced.back()["time"].is_number_float());
        EXPECT_NEAR(now, traced.back()["time"].get<double>(), 60.0);
        traced.back().erase("time");
    }
    std::string hex;  // only the first 64 bytes of a transfer, in lower-case
    char pair[3];
    for (size_t i = 0; i < 64; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", frame[i]);
        hex += pair;
    }
    EXPECT_EQ(R"({"device":"2A71010614200000","direction":"out","transfer":"bulk","length":100,)"
              R"("result":"kIOReturnSuccess","hex":")" + hex + "\"}",
              traced[0].dump());
    EXPECT_EQ(R"({"device":"2A71010614200000","direction":"in","transfer":"bulk","length":2,)"
              R"("result":"kIOReturnSuccess","hex":"abcd"})",
              traced[1].dump());
    EXPECT_EQ(R"({"device":"2A71010614200000","direction":"in","transfer":"control","length":4,)"
              R"("result":"kIOReturnSuccess","hex":"04030904"})",
              traced[2].dump());
    EXPECT_EQ(R"({"device":"2A71010614200000","direction":"out","transfer":"bulk","length":0,)"
              R"("result":"kIOUSBPipeStalled","hex":""})",
              traced[3].dump());
}

TEST_F(UsbTraceTest, AppendsAndKeepsEveryLineWholeAcrossThreads) {
    std::ofstream(path) << "{\"earlier\":1}\n";
    ASSERT_TRUE(UsbTrace::open(path, nullptr));
    std::vector<std::thread> threads;
    Bytes payload(200, 0x5A);
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
