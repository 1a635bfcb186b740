#include "usb/UsbTrace.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "support/CodeNames.h"

namespace ovn::usb {

namespace {

std::mutex gTraceMutex;
FILE* gTraceFile = nullptr;
std::atomic<bool> gTraceEnabled{false};

}  // namespace

bool UsbTrace::open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(gTraceMutex);
    if (gTraceFile) {
        std::fclose(gTraceFile);
        gTraceFile = nullptr;
        gTraceEnabled.store(false);
    }
    FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "ae");
    if (!file) {
        if (error) {
            int code = path.empty() ? ENOENT : errno;
            *error = "cannot open USB trace file '" + path + "': " + std::strerror(code);
        }
        return false;
    }
    gTraceFile = file;
    gTraceEnabled.store(true);
    return true;
}

void UsbTrace::close() {
    std::lock_guard<std::mutex> lock(gTraceMutex);
    if (gTraceFile) std::fclose(gTraceFile);
    gTraceFile = nullptr;
    gTraceEnabled.store(false);
}

bool UsbTrace::enabled() { return gTraceEnabled.load(); }

std::string UsbTrace::deviceKey(uint16_t vendorID, uint16_t productID, uint32_t locationID) {
    char key[24];
    std::snprintf(key, sizeof key, "%.4X%.4X%.8X", unsigned{vendorID}, unsigned{productID}, unsigned{locationID});
    return key;
}

std::string UsbTrace::hexPrefix(const void* data, size_t length, size_t limit) {
    static const char digits[] = "0123456789abcdef";
    if (!data) return std::string();
    size_t n = length < limit ? length : limit;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string hex;
    hex.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        hex.push_back(digits[bytes[i] >> 4]);
        hex.push_back(digits[bytes[i] & 0x0F]);
    }
    return hex;
}

void UsbTrace::record(uint16_t vendorID, uint16_t productID, uint32_t locationID, Direction direction,
                      Transfer transfer, const void* data, size_t length, IOReturn result) {
    if (!enabled()) return;
    double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    nlohmann::ordered_json line;
    line["time"] = now;
    line["device"] = deviceKey(vendorID, productID, locationID);
    line["direction"] = direction == Direction::Out ? "out" : "in";
    line["transfer"] = transfer == Transfer::Bulk ? "bulk" : "control";
    line["length"] = length;
    line["result"] = strForIOReturn(result);
    line["hex"] = hexPrefix(data, length);
    std::string text = line.dump() + "\n";
    std::lock_guard<std::mutex> lock(gTraceMutex);
    if (!gTraceFile) return;
    std::fwrite(text.data(), 1, text.size(), gTraceFile);
    std::fflush(gTraceFile);
}

}  // namespace ovn::usb
