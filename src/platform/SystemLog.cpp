#include "platform/SystemLog.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

namespace ovn {

namespace {
std::mutex gLogMutex;
std::string gIdent = "ovn-utility";
bool gOpened = false;
std::atomic<bool> gMirror{false};
std::atomic<bool> gUseSyslog{true};
std::function<void(LogChannel, const std::string&)> gCapture;

std::string vformat(const char* format, va_list args) {
    if (!format) return std::string();
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return std::string(format);
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    vsnprintf(buf.data(), buf.size(), format, args);
    return std::string(buf.data(), static_cast<size_t>(n));
}

void emit(LogChannel channel, std::string line) {
    std::function<void(LogChannel, const std::string&)> capture;
    {
        std::lock_guard<std::mutex> lock(gLogMutex);
        capture = gCapture;
        if (channel == LogChannel::System && gUseSyslog.load()) {
            if (!gOpened) {
                openlog(gIdent.c_str(), LOG_PID, LOG_USER);
                gOpened = true;
            }
            std::string trimmed = line;
            while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
            syslog(LOG_NOTICE, "%s", trimmed.c_str());
        }
        if (channel == LogChannel::StdErr || gMirror.load()) {
            std::string out = line;
            if (out.empty() || out.back() != '\n') out += '\n';
            fputs(out.c_str(), stderr);
        }
    }
    if (capture) capture(channel, line);
}
}  // namespace

void SysLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformat(format, args);
    va_end(args);
    emit(LogChannel::System, std::move(line));
}

void StdErr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformat(format, args);
    va_end(args);
    emit(LogChannel::StdErr, std::move(line));
}

void SysLogText(const std::string& line) { emit(LogChannel::System, line); }
void StdErrText(const std::string& line) { emit(LogChannel::StdErr, line); }

void WarnUser(const std::string& line) {
    static std::mutex mutex;
    static std::set<std::string> warned;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!warned.insert(line).second) return;
    }
    SysLogText(line);
    // Without -v the system log alone would keep it from the user.
    if (!SystemLog::mirrorToStdErr()) {
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
}

void SystemLog::setIdentity(const std::string& ident) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    gIdent = ident;
    if (gOpened) {
        closelog();
        gOpened = false;
    }
}
void SystemLog::setMirrorToStdErr(bool on) { gMirror.store(on); }
bool SystemLog::mirrorToStdErr() { return gMirror.load(); }
void SystemLog::setUseSyslog(bool on) { gUseSyslog.store(on); }
void SystemLog::setCapture(std::function<void(LogChannel, const std::string&)> sink) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    gCapture = std::move(sink);
}

}  // namespace ovn
