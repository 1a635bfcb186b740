// Plain diagnostic lines of the support library ("Rolling log file.", directory and temporary-file
// failures, ...) belong in the system log, not in the log facility's own records. The support library
// sits below the program's system-log writer, so the program hands its writer in at start-up through
// QELMOR_SetSystemLogHandler; until then, or after a reset, lines go straight to syslog(3).
#pragma once

#include <functional>
#include <string>

// Writes one line to the system log (through the handler when one is set). A trailing newline is not
// needed.
void QELMOR_SystemLog(const std::string& line);

// printf-style convenience over QELMOR_SystemLog.
void QELMOR_SystemLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Routes every line of QELMOR_SystemLog to handler; an empty handler restores the syslog default.
// The handler runs on the thread that logs and may be called from several threads at once.
void QELMOR_SetSystemLogHandler(std::function<void(const std::string&)> handler);
