#include "usb/UsbTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/SystemLog.h"
#include "support/CodeNames.h"

namespace ovn::usb {

namespace {

std::mutex gTraceMutex;
int gTraceFd = -1;
bool gTraceRegular = false;
std::string gTracePath;
std::atomic<bool> gTraceEnabled{false};
std::atomic<bool> gTraceFailed{false};

// Writes all of a text; false (errno set) when the file took less than all of it.
bool writeWhole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether the file (the one opened, not another put there since) ends with a newline.
bool endsWithNewline(const std::string& path, const struct stat& opened) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_dev == opened.st_dev && st.st_ino == opened.st_ino && st.st_size > 0 &&
        ::pread(fd, &last, 1, st.st_size - 1) != 1)
        last = '\n';
    ::close(fd);
    return last == '\n';
}

void closeLocked() {
    if (gTraceFd >= 0) ::close(gTraceFd);
    gTraceFd = -1;
    gTraceEnabled.store(false);
}

}  // namespace

bool UsbTrace::open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(gTraceMutex);
    closeLocked();
    gTraceFailed.store(false);
    auto fail = [error, &path](const std::string& reason) {
        if (error) *error = "cannot open USB trace file '" + path + "': " + reason;
        return false;
    };
    if (path.empty()) return fail("no file name given");
    // A symlink is never followed (it could make the trace land in a file the user did not name); a FIFO with
    // no reader is not waited for.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ELOOP) return fail("it is a symbolic link; name the file itself");
        if (errno == ENXIO) return fail("it is a FIFO that no program reads");
        return fail(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        ::close(fd);
        return fail("it is neither a regular file nor a FIFO");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // A reader that goes away makes a write fail (reported) instead of ending the program.
    if (S_ISFIFO(st.st_mode)) std::signal(SIGPIPE, SIG_IGN);
    // Appending after a last line without its newline: the first record starts a line of its own.
    if (S_ISREG(st.st_mode) && st.st_size > 0 && !endsWithNewline(path, st) && !writeWhole(fd, "\n")) {
        const std::string reason = std::strerror(errno);
        ::close(fd);
        return fail(reason);
    }
    gTraceFd = fd;
    gTraceRegular = S_ISREG(st.st_mode);
    gTracePath = path;
    gTraceEnabled.store(true);
    return true;
}

void UsbTrace::close() {
    std::lock_guard<std::mutex> lock(gTraceMutex);
    closeLocked();
}

bool UsbTrace::failed() { return gTraceFailed.load(); }

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
    if (gTraceFd < 0) return;
    // One write per line: a reader never sees half of one from two threads. A line the file took only part
    // of is taken back, so that the file ends with a whole line.
    const off_t before = gTraceRegular ? ::lseek(gTraceFd, 0, SEEK_END) : -1;
    if (writeWhole(gTraceFd, text)) return;
    const std::string reason = std::strerror(errno);
    if (before >= 0 && ::ftruncate(gTraceFd, before) != 0) {
        // Nothing more can be done about the file; the failure is reported below.
    }
    closeLocked();
    gTraceFailed.store(true);
    StdErrText("cannot write the USB trace file \"" + gTracePath + "\": write error: " + reason +
               "; tracing stopped");
}

}  // namespace ovn::usb
