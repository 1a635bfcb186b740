#include "support/QELMOR_Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "support/QELMOR_NSDateAdditions.h"
#include "support/QELMOR_NSStringAdditions.h"
#include "support/QELMOR_SystemLog.h"

namespace {

struct LogState {
    std::recursive_mutex mutex;
    std::optional<std::string> logFilePath;
    int logFileDescriptor = -1;
    std::optional<std::string> buffer;
    std::string applicationName;
    QELMOR_DateFormatter dateFormatter{QELMOR_Log::kTimeStampPattern};
    bool shouldLogToStdErr = true;
    bool shouldLogAppName = false;
    bool shouldNotifyForUpdates = false;
    std::function<void(const QELMOR_Notification&)> updateHandler;
    std::function<void(const std::string&)> stdErrSink;
    std::function<QELMOR_Log::Clock::time_point()> clock;
    std::optional<long> utcOffset;
    std::function<void()> fatalPark;

    void setDefaults() {
        logFilePath.reset();
        buffer = std::string();
        applicationName = QELMOR_Base::processName();
        shouldLogToStdErr = true;
        shouldLogAppName = false;
        shouldNotifyForUpdates = false;
    }
};

LogState& state() {
    static LogState* s = [] {
        auto* created = new LogState();  // never destroyed: logging may happen during exit
        created->setDefaults();
        return created;
    }();
    return *s;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult readWholeFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::Ok;
}

// Writes contents to path through a temporary file in the same directory and a rename, so that a
// failed write leaves the previous file as it was.
bool replaceFile(const std::string& path, const std::string& contents) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = writeAll(fd, contents.data(), contents.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

std::string derivedOldPath(const std::string& path) {
    std::filesystem::path p(path);
    std::string extension = p.extension().string();  // ".log", or empty
    std::string stem = extension.empty() ? path : path.substr(0, path.size() - extension.size());
    return stem + "_old." + (extension.empty() ? std::string("log") : extension.substr(1));
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        vsnprintf(buf.data(), buf.size(), format, args);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    return out;
}

}  // namespace

void QELMOR_Log::initialize() { (void)state(); }

void QELMOR_Log::setShouldNotifyForLogUpdates(bool flag) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.shouldNotifyForUpdates = flag;
}

void QELMOR_Log::setShouldLogToStdErr(bool flag) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.shouldLogToStdErr = flag;
}

void QELMOR_Log::setShouldLogAppName(bool flag) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.shouldLogAppName = flag;
}

void QELMOR_Log::setApplicationName(const std::string& name) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.applicationName = name;
}

void QELMOR_Log::setLogUpdateHandler(std::function<void(const QELMOR_Notification&)> handler) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.updateHandler = std::move(handler);
}

void QELMOR_Log::logFileDidUpdate(const QELMOR_Notification&) {}

std::optional<std::string> QELMOR_Log::logFilePath() {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.logFilePath;
}

bool QELMOR_Log::hasOpenLogFile() {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.logFileDescriptor >= 0;
}

std::string QELMOR_Log::logDateString() {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    Clock::time_point now = s.clock ? s.clock() : Clock::now();
    std::optional<std::string> text =
        s.utcOffset ? s.dateFormatter.stringFromDate(now, *s.utcOffset) : s.dateFormatter.stringFromDate(now);
    return text.value_or(std::string());
}

void QELMOR_Log::logLevel(unsigned level, const std::string& message) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (!s.shouldLogToStdErr && s.logFileDescriptor < 0) return;

    std::string prefix;
    const char* letter;
    switch (level) {
        case 0:
            prefix = "INFO";
            letter = "I";
            break;
        case 2:
            prefix = "DEBUG2: " + s.applicationName;
            letter = "D2";
            break;
        case 3:
            prefix = "ERROR";
            letter = "E";
            break;
        case 4:
            prefix = "WARN";
            letter = "W";
            break;
        default:  // 1 and every unknown level
            prefix = "DEBUG: " + s.applicationName;
            letter = "D";
            break;
    }

    if (s.shouldLogToStdErr) {
        std::string line = prefix + ": " + message + "\n";
        if (s.stdErrSink) {
            s.stdErrSink(line);
        } else {
            writeAll(STDERR_FILENO, line.data(), line.size());
        }
    }

    if (!s.buffer && s.logFileDescriptor < 0) return;

    std::string record = letter;
    record += ' ';
    record += logDateString();
    if (s.shouldLogAppName) record += " " + s.applicationName + ":";
    record += ' ';
    record += message;
    record += '\n';

    if (s.buffer) {
        if (s.buffer->size() > kBufferTrimThreshold) {
            // Never leave half a UTF-8 character at the front.
            size_t cut = kBufferTrimAmount;
            while (cut < s.buffer->size() && (static_cast<unsigned char>((*s.buffer)[cut]) & 0xC0) == 0x80) ++cut;
            s.buffer->erase(0, cut);
        }
        s.buffer->append(record);
    } else {
        writeAll(s.logFileDescriptor, record.data(), record.size());
    }

    if (s.shouldNotifyForUpdates && s.updateHandler) {
        QELMOR_Notification notification{QELMOR_LogFileDidUpdate, s.logFilePath, {{QELMOR_LogFileAddedString, record}}};
        s.updateHandler(notification);
    }
}

void QELMOR_Log::debug(const std::string& message) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);  // keeps the lines of one message together
    if (message.find('\n') == std::string::npos) {
        logLevel(1, message);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t newline = message.find('\n', start);
        if (newline == std::string::npos) {
            logLevel(1, message.substr(start));
            break;
        }
        logLevel(1, message.substr(start, newline - start));
        start = newline + 1;
    }
}

void QELMOR_Log::err(const std::string& message) { logLevel(3, message); }

void QELMOR_Log::fatal(const std::string& message) {
    logLevel(3, message);
    std::function<void()> park;
    {
        LogState& s = state();
        std::lock_guard<std::recursive_mutex> lock(s.mutex);
        park = s.fatalPark;
    }
    if (park) {
        park();
    } else {
        // Park this thread for good; the rest of the program goes on until it ends by itself.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24 * 365));
    }
    exit(1);
}

void QELMOR_Log::logData(std::span<const uint8_t> data) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);  // one dump stays together
    char cell[32];
    for (size_t offset = 0; offset < data.size(); offset += kHexDumpWidth) {
        size_t count = std::min(kHexDumpWidth, data.size() - offset);
        std::string line;
        snprintf(cell, sizeof cell, "%.8lx  ", static_cast<unsigned long>(offset));
        line += cell;
        for (size_t col = 0; col < kHexDumpWidth; ++col) {
            if (col < count) {
                snprintf(cell, sizeof cell, "%.2x ", data[offset + col]);
                line += cell;
            } else {
                line += "   ";
            }
            if (col == 7) line += ' ';
        }
        line += " |";
        for (size_t col = 0; col < count; ++col) {
            uint8_t b = data[offset + col];
            if (b == '%') line += "%%";
            else if (b >= 0x20 && b <= 0x7E) line += static_cast<char>(b);
            else line += '.';
        }
        line += '|';
        debug(line);
    }
}

std::string QELMOR_Log::asciiHexForData(std::span<const uint8_t> data) {
    std::string out;
    out.reserve(data.size() * 3);
    char cell[8];
    for (uint8_t b : data) {
        snprintf(cell, sizeof cell, "%.2x ", b);
        out += cell;
    }
    return out;
}

bool QELMOR_Log::setLogFile(const std::string& path) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    std::string standardized = QELMOR_NSStringAdditions::stringByStandardizingPath(path);
    if (standardized.empty()) {
        s.logFilePath.reset();
        return false;
    }
    s.logFilePath = standardized;

    std::filesystem::path parent = std::filesystem::path(standardized).parent_path();
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(parent, error);
        if (error) {
            QELMOR_SystemLogFormat("error with createDirectoryAtPath for [%s]:\nERROR = %s", path.c_str(),
                                   error.message().c_str());
        }
    }

    rollLogFileIfNecessary(standardized);

    if (s.logFileDescriptor >= 0) return false;

    int fd = ::open(standardized.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode);
    if (fd < 0) {
        int error = errno;
        debug(formatted("Failed to open log file at %s; error %d \"%s\"", standardized.c_str(), error,
                        strerror(error)));
        return false;
    }
    ::fchmod(fd, kLogFileMode);

    if (s.buffer && !s.buffer->empty()) {
        struct stat before {};
        off_t originalSize = ::fstat(fd, &before) == 0 ? before.st_size : -1;
        if (!writeAll(fd, s.buffer->data(), s.buffer->size())) {
            // The buffered records stay in the buffer; take back what made it into the file so that a
            // later attempt does not write them twice.
            int error = errno;
            if (originalSize >= 0) {
                int truncated = ::ftruncate(fd, originalSize);
                (void)truncated;  // the buffer still holds every record either way
            }
            ::close(fd);
            debug(formatted("Failed to open log file at %s; error %d \"%s\"", standardized.c_str(), error,
                            strerror(error)));
            return false;
        }
    }
    s.buffer.reset();  // records go to the file from now on
    s.logFileDescriptor = fd;

    if (!s.shouldLogToStdErr) {
        // Output of other code written to standard error lands in the log file too.
        ::dup2(fd, STDERR_FILENO);
    }
    return true;
}

void QELMOR_Log::rollLogFileIfNecessary(const std::string& path) { rollLogFile(path, std::nullopt, kDefaultRollSize); }

void QELMOR_Log::rollLogFile(const std::string& path, const std::optional<std::string>& oldPathArgument,
                             uint64_t sizeThreshold) {
    LogState& s = state();
    // Under the facility's lock, so that no record is appended between reading and emptying the file.
    std::lock_guard<std::recursive_mutex> lock(s.mutex);

    struct stat current {};
    if (::stat(path.c_str(), &current) != 0) return;
    if (static_cast<uint64_t>(current.st_size) < sizeThreshold) return;

    QELMOR_SystemLog("Rolling log file.");
    std::string oldPath = oldPathArgument ? *oldPathArgument : derivedOldPath(path);

    struct stat old {};
    if (::stat(oldPath.c_str(), &old) == 0 && old.st_dev == current.st_dev && old.st_ino == current.st_ino) {
        // Rolling a file into itself and then emptying it would lose every record.
        QELMOR_SystemLogFormat("Error writing old log file to %s", oldPath.c_str());
        return;
    }

    std::string combined;
    if (readWholeFile(oldPath, combined) == ReadResult::Failed) {
        QELMOR_SystemLogFormat("Error reading old log file %s", oldPath.c_str());
        return;
    }
    std::string log;
    if (readWholeFile(path, log) != ReadResult::Ok) {
        QELMOR_SystemLogFormat("Error reading log file %s", path.c_str());
        return;
    }
    combined += log;

    if (combined.size() > kRolledFileCap) {
        size_t start = combined.size() - kRolledFileCap - 1;
        size_t newline = combined.find('\n', start);
        if (newline == std::string::npos) {
            combined.clear();
        } else {
            combined.erase(0, newline + 1);
        }
    }

    if (!replaceFile(oldPath, combined)) {
        QELMOR_SystemLogFormat("Error writing old log file to %s", oldPath.c_str());
        return;  // the log file keeps its records
    }
    QELMOR_SystemLogFormat("Rolled previous log file into %s", oldPath.c_str());
    ::chmod(oldPath.c_str(), kLogFileMode);

    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
        QELMOR_SystemLogFormat("Starting new log file at %s", path.c_str());
        ::close(fd);
    }
}

// --- Test hooks -----------------------------------------------------------------------------------

void QELMOR_Log::resetForTesting() {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    if (s.logFileDescriptor >= 0) {
        ::close(s.logFileDescriptor);
        s.logFileDescriptor = -1;
    }
    s.setDefaults();
    s.updateHandler = nullptr;
    s.stdErrSink = nullptr;
    s.clock = nullptr;
    s.utcOffset.reset();
    s.fatalPark = nullptr;
}

void QELMOR_Log::setStdErrSinkForTesting(std::function<void(const std::string&)> sink) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.stdErrSink = std::move(sink);
}

std::optional<std::string> QELMOR_Log::bufferForTesting() {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    return s.buffer;
}

void QELMOR_Log::setBufferForTesting(const std::string& contents) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.buffer = contents;
}

void QELMOR_Log::setClockForTesting(std::function<Clock::time_point()> clock, std::optional<long> utcOffset) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.clock = std::move(clock);
    s.utcOffset = utcOffset;
}

void QELMOR_Log::setFatalParkForTesting(std::function<void()> park) {
    LogState& s = state();
    std::lock_guard<std::recursive_mutex> lock(s.mutex);
    s.fatalPark = std::move(park);
}
