#include "BenchSupport.h"

#include <sys/resource.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "support/QELMOR_Log.h"
#include "usb/USBServices.h"

namespace bench {

void quietLogs() {
    ovn::SystemLog::setUseSyslog(false);
    ovn::SystemLog::setMirrorToStdErr(false);
    QELMOR_Log::setShouldLogToStdErr(false);
}

namespace {

void hexByte(std::string& out, unsigned v) {
    static const char* digits = "0123456789ABCDEF";
    out += digits[(v >> 4) & 0xF];
    out += digits[v & 0xF];
}

// One record: type, count, address bytes, data bytes, checksum.
void appendRecord(std::string& out, char type, const uint8_t* address, size_t addressLength, const uint8_t* data,
                  size_t dataLength) {
    const unsigned count = static_cast<unsigned>(addressLength + dataLength + 1);
    unsigned sum = count;
    out += 'S';
    out += type;
    hexByte(out, count);
    for (size_t i = 0; i < addressLength; ++i) {
        hexByte(out, address[i]);
        sum += address[i];
    }
    for (size_t i = 0; i < dataLength; ++i) {
        hexByte(out, data[i]);
        sum += data[i];
    }
    hexByte(out, ~sum & 0xFF);
    out += '\n';
}

}  // namespace

bool makeSRecordImage(const std::string& path, size_t bytes, const std::string& version) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::string chunk;
    const uint8_t zeroAddress[2] = {0, 0};
    appendRecord(chunk, '0', zeroAddress, 2, reinterpret_cast<const uint8_t*>(version.data()), version.size());
    uint64_t state = 0x9E3779B97F4A7C15ull;
    uint32_t address = 0x08008000;
    size_t written = 0;
    uint8_t data[32];
    const size_t recordLength = 2 + 2 + 8 + 64 + 2 + 1;
    while (written + chunk.size() + recordLength < bytes) {
        for (auto& b : data) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            b = static_cast<uint8_t>(state);
        }
        const uint8_t a[4] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
        appendRecord(chunk, '3', a, 4, data, sizeof data);
        address += sizeof data;
        if (chunk.size() > (1u << 20)) {
            written += std::fwrite(chunk.data(), 1, chunk.size(), f);
            chunk.clear();
        }
    }
    const uint8_t start[4] = {0x08, 0x00, 0x80, 0x00};
    appendRecord(chunk, '7', start, 4, nullptr, 0);
    written += std::fwrite(chunk.data(), 1, chunk.size(), f);
    return std::fclose(f) == 0;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string deliveredFile(const std::string& name) { return ovn::Bundle::pathForResource(name).value_or(""); }

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void onMain(const std::function<void()>& block) { ovn::DispatchQueue::main()->sync(block); }

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return ovn::MainRunLoop::runUntil(done, timeout);
}

// ---------------------------------------------------------------------------------------------------------

Tap::Tap(std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator, std::chrono::microseconds replyLatency,
         size_t sinkAbove)
    : emulator_(std::move(emulator)), latency_(replyLatency), sinkAbove_(sinkAbove) {}

void Tap::attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) { emulator_->attached(bus, deviceId); }

IOReturn Tap::bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) {
    if (length > sinkAbove_) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++sunkFrames_;
        sunkBytes_ += length;
        return kIOReturnSuccess;
    }
    return emulator_->bulkOut(data, length, timeoutMs);
}

IOReturn Tap::bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) {
    if (latency_.count() > 0) std::this_thread::sleep_for(latency_);
    return emulator_->bulkIn(out, maxLength, timeoutMs);
}

IOReturn Tap::controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) {
    return emulator_->controlRequest(setup, in);
}

size_t Tap::sunkFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sunkFrames_;
}

size_t Tap::sunkBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sunkBytes_;
}

// ---------------------------------------------------------------------------------------------------------

Bus& Bus::shared() {
    static Bus* b = new Bus();
    return *b;
}

Bus::Bus() {
    bus = ovn::usb::VirtualUSBBus::create();
    ovn::usb::USBServices::setShared(bus);
    port_ = bus->IONotificationPortCreate();
    ovn::usb::MatchingDict match;
    match.bInterfaceClass = 7;
    match.bInterfaceSubClass = 1;
    auto drain = [this](const ovn::usb::IOIteratorPtr& it) {
        if (!it) return;
        while (auto s = it->IOIteratorNext()) {
            std::lock_guard<std::mutex> lock(mutex_);
            arrived_.push_back(s);
        }
    };
    bus->IOServiceAddMatchingNotification(port_, ovn::usb::kIOMatchedNotification, match, drain, &iterator_,
                                          &matching_);
    drain(iterator_);
}

std::optional<Bus::Plugged> Bus::plugAndWait(const ovn::usb::VirtualDeviceDescription& description,
                                             std::shared_ptr<ovn::usb::VirtualDeviceHandler> handler,
                                             std::chrono::milliseconds timeout) {
    Plugged p;
    p.deviceId = bus->plug(description, std::move(handler));
    const uint32_t location = description.locationID;
    bool found = runMainUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& s : arrived_) {
                ovn::usb::IOUSBInterfaceInterfacePtr candidate;
                bool pluginFailed = false;
                if (bus->CreateInterfaceInterface(s, &candidate, &pluginFailed) != kIOReturnSuccess || !candidate)
                    continue;
                uint32_t loc = 0;
                if (candidate->GetLocationID(&loc) == kIOReturnSuccess && (location == 0 || loc == location)) {
                    p.service = s;
                    p.interface = candidate;
                    return true;
                }
            }
            return false;
        },
        timeout);
    if (!found) return std::nullopt;
    return p;
}

// ---------------------------------------------------------------------------------------------------------

void Presenter::answer(const std::string& titlePrefix, long response) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.emplace_back(titlePrefix, response);
}

void Presenter::present(const ovn::AlertRequest& request, std::function<void(long)> completion) {
    long response = ovn::kAlertFirstButtonReturn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        titles_.push_back(request.title);
        for (const auto& [prefix, r] : answers_) {
            if (request.title.rfind(prefix, 0) == 0) {
                response = r;
                break;
            }
        }
    }
    if (completion) completion(response);
}

std::vector<std::string> Presenter::titles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return titles_;
}

bool Presenter::sawTitleStartingWith(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& t : titles_) {
        if (t.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace bench
