// Diagnostic lines. SysLog writes to the system log (syslog, which journald keeps) and, when mirroring is on,
// to standard error. StdErr writes a line that always goes to standard error. Tests can capture both.
#pragma once

#include <functional>
#include <string>

namespace ovn {

enum class LogChannel { System, StdErr };

// printf-style; a trailing newline is not needed (and is dropped for syslog).
void SysLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void StdErr(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SysLogText(const std::string& line);
void StdErrText(const std::string& line);
// A problem the user can act on (a damaged settings file, a missing delivered file): to the system log and,
// also without -v, to standard error; once per text.
void WarnUser(const std::string& line);

class SystemLog {
public:
    // The identity under which lines reach syslog (default "ovn-utility").
    static void setIdentity(const std::string& ident);
    // Mirror system-log lines to standard error (the programs' -v option).
    static void setMirrorToStdErr(bool on);
    static bool mirrorToStdErr();
    // Whether lines also go to syslog (on by default; tests may turn it off).
    static void setUseSyslog(bool on);
    // A sink that sees every line of both channels, on the thread that wrote it (tests).
    static void setCapture(std::function<void(LogChannel, const std::string&)> sink);
};

}  // namespace ovn
