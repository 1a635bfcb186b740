// Helpers of the emulator tests: frames built by hand from the byte layout, a reply reader, a bus link that
// records what the printer asks of the bus, and S-record images made on the spot.
#pragma once

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
