// QELMOR_Log: the class-level log facility. Five levels, mirroring to the standard error stream, an
// in-memory record buffer that holds the records until a log file is set, an optional log file with
// size-based rolling, an optional per-record notification and hex dumps of byte buffers.
//
// Standard-error line: "<prefix>: <message>\n".
// Record (buffer or file): "<letter> [YYYY/MM/dd HH:mm:ss.SSS Z]< app:> <message>\n".
//
// Thread safety: every operation may be called from any thread. One lock serialises the facility, so
// each record reaches standard error, the buffer or the file whole and in the order of its caller; a
// multi-line debug message and a hex dump also stay together. Update handlers run on the logging
// thread while that lock is held: they may log themselves, but must not wait for another thread that
// logs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "support/QELMOR_Base.h"

// Name of the notification posted for each record, and the user-info key holding the record text.
inline constexpr const char* QELMOR_LogFileDidUpdate = "QELMOR_LogFileDidUpdate";
inline constexpr const char* QELMOR_LogFileAddedString = "QELMOR_LogFileAddedString";

// A posted notification: its name, its object (the log file path, none while no file was set) and
// its user information.
struct QELMOR_Notification {
    std::string name;
    std::optional<std::string> object;
    std::map<std::string, std::string> userInfo;
};

class QELMOR_Log : public QELMOR_Base {
public:
    using Clock = std::chrono::system_clock;

    static constexpr size_t kBufferTrimThreshold = 1000000;  // buffer length above which it is trimmed
    static constexpr size_t kBufferTrimAmount = 10000;       // removed from the front when trimming
    static constexpr uint64_t kDefaultRollSize = 0x100000;   // 1,048,576 bytes
    static constexpr uint64_t kRolledFileCap = 0xA00000;     // most the "_old" file keeps
    static constexpr unsigned kLogFileMode = 0664;
    static constexpr size_t kHexDumpWidth = 16;
    static constexpr const char* kTimeStampPattern = "[YYYY/MM/dd HH:mm:ss.SSS Z]";

    QELMOR_Log() = default;

    // Sets the defaults (mirroring on, buffer in use, no file, no notifications, the process name as
    // application name). Runs once; every other operation calls it first.
    static void initialize();

    // Opens the log file for appending, moving the buffered records into it. True when this call opened
    // the file. With a file already open, only records the path and rolls it if needed (false).
    static bool setLogFile(const std::string& path);

    // Moves the log file at path into oldPath (default: the path with "_old" before its extension) when
    // it holds at least sizeThreshold bytes, then empties it. Records are never lost: when the rolled
    // file cannot be written, the log file is left untouched.
    static void rollLogFile(const std::string& path, const std::optional<std::string>& oldPath,
                            uint64_t sizeThreshold);
    static void rollLogFileIfNecessary(const std::string& path);

    static void setShouldNotifyForLogUpdates(bool flag);
    static void setShouldLogToStdErr(bool flag);
    static void setShouldLogAppName(bool flag);
    static void setApplicationName(const std::string& name);

    // The current time as a bracketed time stamp.
    static std::string logDateString();

    // Level 0 INFO, 1 DEBUG, 2 DEBUG2, 3 ERROR, 4 WARN; any other level is treated as 1.
    static void logLevel(unsigned level, const std::string& message);
    // Level 1, one record per line of the message.
    static void debug(const std::string& message);
    static void err(const std::string& message);
    // Logs at level 3, parks the calling thread for good and then ends the process with status 1.
    [[noreturn]] static void fatal(const std::string& message);

    // Hex dump at level 1, 16 bytes a line; an empty buffer logs nothing.
    static void logData(std::span<const uint8_t> data);
    // Each byte as "%.2x " (also after the last one).
    static std::string asciiHexForData(std::span<const uint8_t> data);

    // Whether address is a well-formed e-mail address (checked after lower-casing).
    static bool validateEmailAddress(const std::string& address);

    // Receives the per-record notification (the default notification centre of this program).
    static void setLogUpdateHandler(std::function<void(const QELMOR_Notification&)> handler);
    // Observer entry point; does nothing.
    void logFileDidUpdate(const QELMOR_Notification& notification);

    static std::optional<std::string> logFilePath();
    static bool hasOpenLogFile();

    // --- Test hooks -------------------------------------------------------------------------------
    // Back to the defaults: closes an open log file, recreates an empty buffer, removes handlers,
    // hooks and sinks.
    static void resetForTesting();
    // Lines mirrored to standard error go to sink instead (an empty sink restores standard error).
    static void setStdErrSinkForTesting(std::function<void(const std::string&)> sink);
    // The record buffer (none once a log file took over), and a way to preload it.
    static std::optional<std::string> bufferForTesting();
    static void setBufferForTesting(const std::string& contents);
    // A fixed clock and zone offset (seconds east of UTC) for the time stamp; empty means the real
    // clock and the local zone.
    static void setClockForTesting(std::function<Clock::time_point()> clock, std::optional<long> utcOffset);
    // Replaces the parking of fatal() so that a test process can reach the exit.
    static void setFatalParkForTesting(std::function<void()> park);
};
