// The emulated printer on its own: its frame parser and reply layout byte by byte, and its answers to every
// kind of query and write.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemLog.h"
#include "sim/OvnDeviceProtocol.h"
#include "sim/OvnPrinterEmulator.h"

namespace ovn::sim::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

// ESC 'P', the category blank-padded to 6, the subcommand blank-padded to 16, the payload length as eight digits
// (blank without payload), then the payload.
inline Bytes frame(const std::string& category, const std::string& subcommand, const Bytes& payload = {}) {
    char length[24] = "        ";
    if (!payload.empty()) std::snprintf(length, sizeof length, "%08zu", payload.size());
    Bytes f = bytesOf("\x1BP" + (category + std::string(6, ' ')).substr(0, 6) +
                      (subcommand + std::string(16, ' ')).substr(0, 16) + length);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

inline Bytes statusFrame() { return frame("STATUS", ""); }
inline IOReturn send(OvnPrinterEmulator& printer, const Bytes& f) { return printer.bulkOut(f.data(), f.size(), 100); }

// Reads up to n reply bytes (into out when given) and answers the transfer's result.
inline IOReturn readIn(OvnPrinterEmulator& printer, size_t n, uint32_t timeoutMs = 20, Bytes* out = nullptr) {
    Bytes scratch;
    return printer.bulkIn(out ? *out : scratch, n, timeoutMs);
}

struct Reply {
    std::string header;
    Bytes body;
};

// Reads a reply the way a host does: 8 header bytes, then as many body bytes as the header announces.
inline std::optional<Reply> readReply(OvnPrinterEmulator& printer, uint32_t timeoutMs = 200) {
    Bytes header;
    if (printer.bulkIn(header, 8, timeoutMs) != kIOReturnSuccess) return std::nullopt;
    Reply r{textOf(header), {}};
    size_t length = 0;
    for (char c : r.header) {
        if (c < '0' || c > '9') return r;  // not a number: no body read
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    if (length <= 4096 && printer.bulkIn(r.body, length, timeoutMs) != kIOReturnSuccess) return std::nullopt;
    return r;
}

// Sends a frame and reads the reply; the body's text without its carriage return.
inline std::optional<std::string> ask(OvnPrinterEmulator& printer, const Bytes& f, uint32_t timeoutMs = 200) {
    if (send(printer, f) != kIOReturnSuccess) return std::nullopt;
    auto r = readReply(printer, timeoutMs);
    if (!r || r->body.empty() || r->body.back() != '\r') return std::nullopt;
    return std::string(r->body.begin(), r->body.end() - 1);
}

// Records what the printer asks of the bus. Plugging comes back at once under a new id.
class FakeLink : public DeviceBusLink {
public:
    struct Call {
        std::string what;  // "reEnumerate", "unplug", "plug", "hold", "release"
        uint64_t deviceId = 0;
        uint32_t delayMs = 0;
        usb::VirtualDeviceDescription description;
    };

    void reEnumerate(uint64_t id, uint32_t delayMs, const usb::VirtualDeviceDescription& d) override {
        record({"reEnumerate", id, delayMs, d});
    }
    void unplug(uint64_t id) override { record({"unplug", id, 0, {}}); }
    void plug(const usb::VirtualDeviceDescription& d) override {
        uint64_t id = record({"plug", 0, 0, d});
        if (auto p = printer.lock()) p->handleAttached(id);
    }
    bool setHeldByOtherApplication(uint64_t id, bool held) override {
        record({held ? "hold" : "release", id, 0, {}});
        return held;
    }
    bool isOpenByHost(uint64_t) override { return hostHasItOpen; }
    std::optional<uint32_t> locationOf(uint64_t) override { return location; }

    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls_;
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& c : calls()) out.push_back(c.what);
        return out;
    }

    std::weak_ptr<OvnPrinterEmulator> printer;
    uint32_t location = 0x14300000;
    std::atomic<bool> hostHasItOpen{false};

private:
    uint64_t record(Call c) {
        std::lock_guard<std::mutex> lock(mutex);
        if (c.what == "plug") c.deviceId = ++lastId;
        calls_.push_back(c);
        return c.deviceId;
    }
    std::mutex mutex;
    uint64_t lastId = 100;
    std::vector<Call> calls_;
};

// A printer on a fake bus, already attached as device 1; restarts take no time.
struct LinkedPrinter {
    std::shared_ptr<OvnPrinterEmulator> printer;
    std::shared_ptr<FakeLink> link;
};

inline LinkedPrinter makePrinter(EmulatorConfig config) {
    SystemLog::setUseSyslog(false);
    config.restartDelayMs = 0;
    if (config.locationId == 0) config.locationId = 0x14300000;
    LinkedPrinter lp{OvnPrinterEmulator::create(config), std::make_shared<FakeLink>()};
    lp.link->printer = lp.printer;
    lp.link->location = config.locationId;
    lp.printer->setBusLink(lp.link);
    lp.printer->handleAttached(1);
    return lp;
}

inline LinkedPrinter makePrinter(PrinterModel model, const std::function<void(EmulatorConfig&)>& adjust = nullptr) {
    EmulatorConfig config;
    config.model = model;
    if (adjust) adjust(config);
    return makePrinter(config);
}

// One S-record line with its count and checksum.
inline std::string srec(char type, const Bytes& addressAndData) {
    unsigned sum = static_cast<unsigned>(addressAndData.size() + 1);
    char buf[8];
    std::snprintf(buf, sizeof buf, "S%c%02X", type, sum);
    std::string line = buf;
    for (uint8_t b : addressAndData) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    return line + buf;
}

// A firmware file: S0 header naming the version, two S1 data records, S9 end; lines end in CR LF when asked.
inline std::string firmwareText(const std::string& version, bool crlf = false) {
    const std::string eol = crlf ? "\r\n" : "\n";
    Bytes header{0x00, 0x00};
    header.insert(header.end(), version.begin(), version.end());
    return srec('0', header) + eol + srec('1', {0x10, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}) + eol +
           srec('1', {0x10, 0x04, 0x01, 0x02, 0x03}) + eol + srec('9', {0x10, 0x00}) + eol;
}

// The file padded with zero bytes to a multiple of four, as it travels.
inline Bytes padded(const std::string& text) {
    Bytes b = bytesOf(text);
    b.resize((b.size() + 3) / 4 * 4, 0);
    return b;
}

}  // namespace ovn::sim::test

namespace ovn::sim::test {
namespace {

FrameParseResult parse(const Bytes& b) { return parseCommandFrame(b.data(), b.size()); }
Bytes edited(Bytes b, const std::function<void(Bytes&)>& edit) {
    edit(b);
    return b;
}
std::string lengthField(const Bytes& f) { return std::string(f.begin() + 24, f.begin() + 32); }

TEST(DeviceFrame, ProtocolFramesParseToTheirCommands) {
    Bytes status = bytesOf("\x1BPSTATUS");  // ESC, 'P', "STATUS", 24 blanks: 32 bytes, no length, no payload
    status.resize(32, ' ');
    Bytes fver = bytesOf("\x1BPINFO  FVER");  // "FVER" at 8, right after the two blanks of "INFO  "
    fver.resize(32, ' ');
    Bytes cwd = frame("TBL_RD", "CWD620_Version", bytesOf("0001"));
    ASSERT_EQ(36u, cwd.size());
    EXPECT_EQ("00000004", lengthField(cwd));
    const Bytes image(1000000, 'S');
    Bytes upload = frame("FW_UPD", "FLASH_PROGRAM", image);
    EXPECT_EQ("01000000", lengthField(upload));
    Bytes tableName = bytesOf("PL15_300_0161.CWD");
    tableName.resize(20, 0);
    const Bytes counterA{0x43, 0x41, 0x0D, 0x00}, iSerialOn{0x30, 0x31, 0x0D, 0x00};
    const struct {
        Bytes bytes;
        DeviceCommand command;
        Bytes payload;
    } cases[] = {
        {status, DeviceCommand::Status, {}},
        {edited(status, [](Bytes& b) { std::fill(b.begin() + 24, b.end(), '0'); }), DeviceCommand::Status, {}},
        {fver, DeviceCommand::FirmwareVersion, {}},
        {cwd, DeviceCommand::Cwd620Version, bytesOf("0001")},
        {frame("MNT_WT", "COUNTER_CLR", counterA), DeviceCommand::CounterClear, counterA},
        // The same word under two categories: the category decides.
        {frame("MNT_WT", "USB_ISERI_SET", iSerialOn), DeviceCommand::ISerialWrite, iSerialOn},
        {frame("MNT_RD", "USB_ISERI_SET"), DeviceCommand::ISerialRead, {}},
        {frame("TBL_WT", "Version", tableName), DeviceCommand::TableWriteVersion, tableName},
        {upload, DeviceCommand::FlashProgram, image},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(textOf(Bytes(c.bytes.begin(), c.bytes.begin() + 32)));
        auto r = parse(c.bytes);
        ASSERT_TRUE(r.frame) << r.error;
        EXPECT_EQ(c.command, r.frame->command);
        EXPECT_EQ(c.payload, r.frame->payload);
    }
}

TEST(DeviceFrame, MalformedFramesAreRefusedWithTheReason) {
    const Bytes status = statusFrame(), fver = frame("INFO  ", "FVER");
    const Bytes cwd = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    const struct {
        Bytes bytes;
        std::string reasonPart;
    } cases[] = {
        {Bytes(31, ' '), "shorter than the 32-byte header"},
        {Bytes{}, "shorter than the 32-byte header"},
        {edited(status, [](Bytes& b) { b[0] = 0x1C; }), "ESC 'P'"},
        {edited(status, [](Bytes& b) { b[2] = 's'; }), "unknown category word 'sTATUS'"},
        {frame("INFO  ", "VERSION"), "unknown command 'INFO VERSION'"},
        {frame("STATUS", "FVER"), "unknown command 'STATUS FVER'"},
        {edited(fver, [](Bytes& b) { std::fill(b.begin() + 12, b.begin() + 24, 0); }), "invalid byte"},
        {edited(fver, [](Bytes& b) { b[14] = 'X'; }), "left-aligned"},
        {edited(cwd, [](Bytes& b) { b[24] = 'O'; }), "neither eight digits nor blank"},
        {edited(cwd, [](Bytes& b) { b.pop_back(); }), "announces 4 payload bytes but 3 followed"},
        {edited(status, [](Bytes& b) { b.push_back('!'); }), "announces 0 payload bytes but 1 followed"},
        {frame("STATUS", "", bytesOf("0001")), "STATUS takes no payload"},
        {frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D}), "takes a 4-byte payload, got 3"},
        {frame("MNT_WT", "USB_ISERI_SET"), "takes a 4-byte payload, got 0"},
        {frame("CNTRL ", "CUTTER", bytesOf("0000")), "takes an 8-byte payload, got 4"},
        {frame("TBL_RD", "CWD600_Checksum", bytesOf("01")), "no payload or a 4-byte media selector"},
    };
    for (const auto& c : cases) {
        auto r = parse(c.bytes);
        EXPECT_FALSE(r.frame) << c.reasonPart;
        EXPECT_NE(std::string::npos, r.error.find(c.reasonPart)) << "got: " << r.error;
    }
    EXPECT_FALSE(parseCommandFrame(nullptr, 40).frame);
}

TEST(DeviceFrame, ReplyIsEightDigitLengthThenTextAndCarriageReturn) {
    EXPECT_EQ(bytesOf("00000006" "00000\r"), buildReply("00000"));
    EXPECT_EQ(bytesOf("00000001\r"), buildReply(""));
    EXPECT_EQ(bytesOf("00000010" "CL0012345\r"), buildReply("CL0012345"));
}

TEST(DeviceFrame, CommandsByNameForFaultDescriptions) {
    const std::pair<const char*, DeviceCommand> names[] = {
        {"STATUS", DeviceCommand::Status},          {"status", DeviceCommand::Status},
        {"TBL_CL", DeviceCommand::TableClear},      {"FVER", DeviceCommand::FirmwareVersion},
        {"TBL_WT.Version", DeviceCommand::TableWriteVersion}, {"MNT_RD USB_ISERI_SET", DeviceCommand::ISerialRead},
    };
    for (const auto& [name, command] : names) EXPECT_EQ(command, commandByName(name)) << name;
    bool ambiguous = false;
    EXPECT_FALSE(commandByName("Version", &ambiguous));
    EXPECT_TRUE(ambiguous);
    EXPECT_FALSE(commandByName("NOPE", &ambiguous));
    EXPECT_FALSE(ambiguous);
    EXPECT_EQ("TBL_WT CTRLD_UPDATE_CW", commandName(DeviceCommand::TableWriteData));
    EXPECT_EQ("INFO FVER", commandName(DeviceCommand::FirmwareVersion));
}

}  // namespace
}  // namespace ovn::sim::test
namespace ovn::sim::test {
namespace {


TEST(EmulatorProtocol, ColourTableQueriesFollowTheModelsLayout) {
    auto single = makePrinter(PrinterModel::PL25D), triple = makePrinter(PrinterModel::PL35);
    auto octo = makePrinter(PrinterModel::PL45);
    octo.printer->setColourTable({"PP", 620}, {"0099", "ABCD", "", 0, 0});
    const Bytes sd = bytesOf("0001"), pp = bytesOf("0003");
    const struct {
        LinkedPrinter* lp;
        Bytes query;
        std::string reply;
    } cases[] = {
        // Single layout: one version and one checksum, no table numbers.
        {&single, frame("TBL_RD", "Version"), "0120"},
        {&single, frame("TBL_RD", "CWD300_Version"), ""},
        // Triple: numbered tables without media selector; no 620.
        {&triple, frame("TBL_RD", "CWD610_Version"), "0105"},
        {&triple, frame("TBL_RD", "CWD620_Version"), ""},
        {&triple, frame("TBL_RD", "CWD300_Version", sd), ""},
        {&triple, frame("TBL_RD", "Version"), ""},
        // Octuple: "0001" for SD, "0003" for PP; nothing else.
        {&octo, frame("TBL_RD", "CWD620_Version", sd), "0100"},
        {&octo, frame("TBL_RD", "CWD620_Version", pp), "0099"},
        {&octo, frame("TBL_RD", "CWD620_Checksum", pp), "ABCD"},
        {&octo, frame("TBL_RD", "CWD620_Version"), ""},
        {&octo, frame("TBL_RD", "CWD620_Version", bytesOf("0002")), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reply, ask(*c.lp->printer, c.query)) << textOf(c.query);
    auto checksum = ask(*single.printer, frame("MNT_RD", "CTRLD_CHKSUM"));
    ASSERT_TRUE(checksum);
    EXPECT_EQ(4u, checksum->size());
    EXPECT_EQ(3u, triple.printer->rejectedCount());
}

}  // namespace
}  // namespace ovn::sim::test
