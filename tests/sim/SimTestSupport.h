// Helpers of the emulator tests: frames built by hand from the protocol's byte layout, a reader of replies, a bus
// link that records what the printer asks of the bus, and S-record images made on the spot.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SystemLog.h"
#include "sim/OvnPrinterEmulator.h"

namespace ovn::sim::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string textOf(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A command frame: 32 header bytes that start as blanks, ESC at 0, 'P' at 1, the six-character category at 2, the
// subcommand at 8, the payload length as eight digits at 24 (blank without payload), then the payload.
inline Bytes frame(const std::string& category, const std::string& subcommand, const Bytes& payload = {}) {
    Bytes f(32, 0x20);
    f[0] = 0x1B;
    f[1] = 0x50;
    for (size_t i = 0; i < category.size() && i < 6; ++i) f[2 + i] = static_cast<uint8_t>(category[i]);
    for (size_t i = 0; i < subcommand.size() && i < 16; ++i) f[8 + i] = static_cast<uint8_t>(subcommand[i]);
    if (!payload.empty()) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08zu", payload.size());
        for (size_t i = 0; i < 8; ++i) f[24 + i] = static_cast<uint8_t>(digits[i]);
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

inline Bytes statusFrame() { return frame("STATUS", ""); }

struct Reply {
    std::string header;
    Bytes body;
};

// Reads a reply the way a host does: 8 header bytes, then as many body bytes as the header announces.
inline std::optional<Reply> readReply(OvnPrinterEmulator& printer, uint32_t timeoutMs = 200) {
    Bytes header;
    if (printer.bulkIn(header, 8, timeoutMs) != kIOReturnSuccess) return std::nullopt;
    Reply r;
    r.header = textOf(header);
    size_t length = 0;
    for (char c : r.header) {
        if (c < '0' || c > '9') return r;  // not a number: no body read
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    if (length > 4096) return r;
    if (printer.bulkIn(r.body, length, timeoutMs) != kIOReturnSuccess) return std::nullopt;
    return r;
}

// Sends a frame and reads the reply; the body's text without its carriage return.
inline std::optional<std::string> ask(OvnPrinterEmulator& printer, const Bytes& f, uint32_t timeoutMs = 200) {
    if (printer.bulkOut(f.data(), f.size(), 100) != kIOReturnSuccess) return std::nullopt;
    auto r = readReply(printer, timeoutMs);
    if (!r) return std::nullopt;
    std::string body = textOf(r->body);
    if (body.empty() || body.back() != '\r') return std::nullopt;
    body.pop_back();
    return body;
}

inline IOReturn send(OvnPrinterEmulator& printer, const Bytes& f) { return printer.bulkOut(f.data(), f.size(), 100); }

// Records what the printer asks of the bus. Plugging comes back at once under a new id.
class FakeLink : public DeviceBusLink {
public:
    struct Call {
        std::string what;  // "reEnumerate", "unplug", "plug", "hold", "release"
        uint64_t deviceId = 0;
        uint32_t delayMs = 0;
        usb::VirtualDeviceDescription description;
    };

    void reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& d) override {
        record({"reEnumerate", deviceId, delayMs, d});
    }
    void unplug(uint64_t deviceId) override { record({"unplug", deviceId, 0, {}}); }
    void plug(const usb::VirtualDeviceDescription& d) override {
        uint64_t id;
        {
            std::lock_guard<std::mutex> lock(mutex);
            id = ++lastId;
        }
        record({"plug", id, 0, d});
        if (auto p = printer.lock()) p->handleAttached(id);
    }
    bool setHeldByOtherApplication(uint64_t deviceId, bool held) override {
        record({held ? "hold" : "release", deviceId, 0, {}});
        std::lock_guard<std::mutex> lock(mutex);
        heldNow = held;
        return held;
    }
    bool isOpenByHost(uint64_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        return hostHasItOpen;
    }
    std::optional<uint32_t> locationOf(uint64_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        return location;
    }

    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls_;
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& c : calls()) out.push_back(c.what);
        return out;
    }
    void setHostHasItOpen(bool open) {
        std::lock_guard<std::mutex> lock(mutex);
        hostHasItOpen = open;
    }

    std::weak_ptr<OvnPrinterEmulator> printer;
    uint32_t location = 0x14300000;
    uint64_t lastId = 100;
    bool heldNow = false;

private:
    void record(Call c) {
        std::lock_guard<std::mutex> lock(mutex);
        calls_.push_back(std::move(c));
    }
    std::mutex mutex;
    bool hostHasItOpen = false;
    std::vector<Call> calls_;
};

// A printer on a fake bus, already attached as device 1.
struct LinkedPrinter {
    std::shared_ptr<OvnPrinterEmulator> printer;
    std::shared_ptr<FakeLink> link;
};

inline LinkedPrinter makePrinter(EmulatorConfig config) {
    SystemLog::setUseSyslog(false);
    config.restartDelayMs = 0;
    if (config.locationId == 0) config.locationId = 0x14300000;
    LinkedPrinter lp;
    lp.printer = OvnPrinterEmulator::create(config);
    lp.link = std::make_shared<FakeLink>();
    lp.link->printer = lp.printer;
    lp.link->location = config.locationId;
    lp.printer->setBusLink(lp.link);
    lp.printer->handleAttached(1);
    return lp;
}

inline LinkedPrinter makePrinter(PrinterModel model) {
    EmulatorConfig c;
    c.model = model;
    return makePrinter(c);
}

// One S-record line with its count and checksum.
inline std::string srec(char type, const Bytes& addressAndData) {
    unsigned count = static_cast<unsigned>(addressAndData.size() + 1);
    unsigned sum = count;
    std::string line = "S";
    line += type;
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", count);
    line += buf;
    for (uint8_t b : addressAndData) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    line += buf;
    return line;
}

// A firmware file: S0 header naming the version, two S1 data records, S9 end; lines end in CR LF when asked.
inline std::string firmwareText(const std::string& version, bool crlf = false) {
    const char* eol = crlf ? "\r\n" : "\n";
    Bytes header{0x00, 0x00};
    header.insert(header.end(), version.begin(), version.end());
    std::string text = srec('0', header) + eol;
    text += srec('1', {0x10, 0x00, 0xDE, 0xAD, 0xBE, 0xEF}) + eol;
    text += srec('1', {0x10, 0x04, 0x01, 0x02, 0x03}) + eol;
    text += srec('9', {0x10, 0x00}) + eol;
    return text;
}

// The file padded with zero bytes to a multiple of four, as it travels.
inline Bytes padded(const std::string& text) {
    Bytes b = bytesOf(text);
    while (b.size() % 4) b.push_back(0);
    return b;
}

}  // namespace ovn::sim::test
