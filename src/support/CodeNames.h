// Symbolic names of platform status codes, for log lines. Every function returns a constant, static
// text that the caller neither owns nor frees.
#pragma once

#include <cstdint>

#include "support/IOReturnCodes.h"

// Name of a USB device-services result code; 0 is "kIOReturnSuccess", codes without a name of their
// own are "kIOReturnError".
const char* strForIOReturn(IOReturn code);

// Name of an interest-message code; unknown codes are "kIOMessageUnknown".
const char* strForIOMessage(uint32_t message);

// "NAME - description" for the classic error numbers EPERM to EPROTONOSUPPORT, "unknown" otherwise.
// The numbers are this system's own errno values (on Linux, EAGAIN is 11 and EDEADLK is 35), so the
// name always matches the error the caller actually got.
const char* strForErrno(int error);

// Description of a signal number, "unknown" for anything not in the classic list. As with errno, the
// numbers are this system's own signal numbers.
const char* strForSignal(int signal);

// Name of a stream status (0 to 7); anything else is "kCFStreamStatusUnknown".
const char* strForCFStreamStatus(long status);

// Name of a stream event (0, 1, 2, 4, 8, 16); anything else is "kCFStreamEventUnknown".
const char* strForCFEventType(unsigned long event);
