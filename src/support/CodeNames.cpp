#include "support/CodeNames.h"

#include <cerrno>
#include <csignal>

const char* strForIOReturn(IOReturn code) {
    switch (code) {
        case kIOReturnSuccess: return "kIOReturnSuccess";
        case kIOReturnInvalid: return "kIOReturnInvalid";
        case kIOReturnNoMemory: return "kIOReturnNoMemory";
        case kIOReturnNoResources: return "kIOReturnNoResources";
        case kIOReturnIPCError: return "kIOReturnIPCError";
        case kIOReturnNoDevice: return "kIOReturnNoDevice";
        case kIOReturnNotPrivileged: return "kIOReturnNotPrivileged";
        case kIOReturnBadArgument: return "kIOReturnBadArgument";
        case kIOReturnLockedRead: return "kIOReturnLockedRead";
        case kIOReturnLockedWrite: return "kIOReturnLockedWrite";
        case kIOReturnExclusiveAccess: return "kIOReturnExclusiveAccess";
        case kIOReturnStillOpen: return "kIOReturnStillOpen";
        case kIOReturnTimeout: return "kIOReturnTimeout";
        case kIOReturnUnderrun: return "kIOReturnUnderrun";
        case kIOReturnOverrun: return "kIOReturnOverrun";
        case kIOReturnDeviceError: return "kIOReturnDeviceError";
        case kIOReturnNoCompletion: return "kIOReturnNoCompletion";
        case kIOReturnAborted: return "kIOReturnAborted";
        case kIOReturnNoBandwidth: return "kIOReturnNoBandwidth";
        case kIOReturnNotResponding: return "kIOReturnNotResponding";
        case kIOReturnNotFound: return "kIOReturnNotFound";

        case kIOUSBCRCErr: return "kIOUSBCRCErr";
        case kIOUSBBitstufErr: return "kIOUSBBitstufErr";
        case kIOUSBDataToggleErr: return "kIOUSBDataToggleErr";
        case kIOUSBPIDCheckErr: return "kIOUSBPIDCheckErr";
        case kIOUSBWrongPIDErr: return "kIOUSBWrongPIDErr";
        case kIOUSBReserved1Err: return "kIOUSBReserved1Err";
        case kIOUSBReserved2Err: return "kIOUSBReserved2Err";
        case kIOUSBBufferOverrunErr: return "kIOUSBBufferOverrunErr";
        case kIOUSBBufferUnderrunErr: return "kIOUSBBufferUnderrunErr";
        case kIOUSBNotSent1Err: return "kIOUSBNotSent1Err";
        case kIOUSBNotSent2Err: return "kIOUSBNotSent2Err";
        case kIOUSBLinkErr: return "kIOUSBLinkErr";
        case kIOUSBHighSpeedSplitError: return "kIOUSBHighSpeedSplitError";
        case kIOUSBLowLatencyFrameListNotPreviouslyAllocated:
            return "kIOUSBLowLatencyFrameListNotPreviouslyAllocated";
        case kIOUSBLowLatencyBufferNotPreviouslyAllocated: return "kIOUSBLowLatencyBufferNotPreviouslyAllocated";
        case kIOUSBInterfaceNotFound: return "kIOUSBInterfaceNotFound";
        case kIOUSBPipeStalled: return "kIOUSBPipeStalled";
        case kIOUSBTransactionReturned: return "kIOUSBTransactionReturned";
        case kIOUSBTransactionTimeout: return "kIOUSBTransactionTimeout";
        case kIOUSBConfigNotFound: return "kIOUSBConfigNotFound";
        case kIOUSBEndpointNotFound: return "kIOUSBEndpointNotFound";
        case kIOUSBNotEnoughPowerErr: return "kIOUSBNotEnoughPowerErr";
        case kIOUSBNotEnoughPipesErr: return "kIOUSBNotEnoughPipesErr";
        case kIOUSBNoAsyncPortErr: return "kIOUSBNoAsyncPortErr";
        case kIOUSBTooManyPipesErr: return "kIOUSBTooManyPipesErr";
        case kIOUSBUnknownPipeErr: return "kIOUSBUnknownPipeErr";
        default: return "kIOReturnError";
    }
}

const char* strForIOMessage(uint32_t message) {
    switch (message) {
        case kIOMessageServiceIsTerminated: return "kIOMessageServiceIsTerminated";
        case kIOMessageServiceIsSuspended: return "kIOMessageServiceIsSuspended";
        case kIOMessageServiceIsResumed: return "kIOMessageServiceIsResumed";
        case kIOMessageServiceIsRequestingClose: return "kIOMessageServiceIsRequestingClose";
        case kIOMessageServiceIsAttemptingOpen: return "kIOMessageServiceIsAttemptingOpen";
        case kIOMessageServiceWasClosed: return "kIOMessageServiceWasClosed";
        case kIOMessageServiceBusyStateChange: return "kIOMessageServiceBusyStateChange";
        case kIOMessageServicePropertyChange: return "kIOMessageServicePropertyChange";
        case kIOMessageCanDevicePowerOff: return "kIOMessageCanDevicePowerOff";
        case kIOMessageDeviceWillPowerOff: return "kIOMessageDeviceWillPowerOff";
        case kIOMessageDeviceWillNotPowerOff: return "kIOMessageDeviceWillNotPowerOff";
        case kIOMessageDeviceHasPoweredOn: return "kIOMessageDeviceHasPoweredOn";
        case kIOMessageCanSystemPowerOff: return "kIOMessageCanSystemPowerOff";
        case kIOMessageSystemWillPowerOff: return "kIOMessageSystemWillPowerOff";
        case kIOMessageSystemWillNotPowerOff: return "kIOMessageSystemWillNotPowerOff";
        case kIOMessageCanSystemSleep: return "kIOMessageCanSystemSleep";
        case kIOMessageSystemWillSleep: return "kIOMessageSystemWillSleep";
        case kIOMessageSystemWillNotSleep: return "kIOMessageSystemWillNotSleep";
        case kIOMessageSystemHasPoweredOn: return "kIOMessageSystemHasPoweredOn";
        case kIOMessageSystemWillRestart: return "kIOMessageSystemWillRestart";
        case kIOMessageSystemWillPowerOn: return "kIOMessageSystemWillPowerOn";
        case kIOMessageCopyClientID: return "kIOMessageCopyClientID";
        // A USB result code that some drivers deliver as a message.
        case static_cast<uint32_t>(kIOUSBBufferUnderrunErr): return "kIOUSBBufferUnderrunErr";
        default: return "kIOMessageUnknown";
    }
}

// The cases use the errno macros rather than literal numbers: the classic list is numbered differently
// from one system to the next, and a caller passes the value it got from this system's C library.
const char* strForErrno(int error) {
    switch (error) {
        case EPERM: return "EPERM - Operation not permitted";
        case ENOENT: return "ENOENT - No such file or directory";
        case ESRCH: return "ESRCH - No such process";
        case EINTR: return "EINTR - Interrupted system call";
        case EIO: return "EIO - Input/output error";
        case ENXIO: return "ENXIO - Device not configured";
        case E2BIG: return "E2BIG - Argument list too long";
        case ENOEXEC: return "ENOEXEC - Exec format error";
        case EBADF: return "EBADF - Bad file descriptor";
        case ECHILD: return "ECHILD - No child processes";
        case EDEADLK: return "EDEADLK - Resource deadlock avoided";
        case ENOMEM: return "ENOMEM - Cannot allocate memory";
        case EACCES: return "EACCES - Permission denied";
        case EFAULT: return "EFAULT - Bad address";
        case ENOTBLK: return "ENOTBLK - Block device required";
        case EBUSY: return "EBUSY - Device / Resource busy";
        case EEXIST: return "EEXIST - File exists";
        case EXDEV: return "EXDEV - Cross-device link";
        case ENODEV: return "ENODEV - Operation not supported by device";
        case ENOTDIR: return "ENOTDIR - Not a directory";
        case EISDIR: return "EISDIR - Is a directory";
        case EINVAL: return "EINVAL - Invalid argument";
        case ENFILE: return "ENFILE - Too many open files in system";
        case EMFILE: return "EMFILE - Too many open files";
        case ENOTTY: return "ENOTTY - Inappropriate ioctl for device";
        case ETXTBSY: return "ETXTBSY - Text file busy";
        case EFBIG: return "EFBIG - File too large";
        case ENOSPC: return "ENOSPC - No space left on device";
        case ESPIPE: return "ESPIPE - Illegal seek";
        case EROFS: return "EROFS - Read-only file system";
        case EMLINK: return "EMLINK - Too many links";
        case EPIPE: return "EPIPE - Broken pipe";
        case EDOM: return "EDOM - Numerical argument out of domain";
        case ERANGE: return "ERANGE - Result too large";
        case EAGAIN: return "EAGAIN - Resource temporarily unavailable; Operation would block";
        case EINPROGRESS: return "EINPROGRESS - Operation now in progress";
        case EALREADY: return "EALREADY - Operation already in progress";
        case ENOTSOCK: return "ENOTSOCK - Socket operation on non-socket";
        case EDESTADDRREQ: return "EDESTADDRREQ - Destination address required";
        case EMSGSIZE: return "EMSGSIZE - Message too long";
        case EPROTOTYPE: return "EPROTOTYPE - Protocol wrong type for socket";
        case ENOPROTOOPT: return "ENOPROTOOPT - Protocol not available";
        case EPROTONOSUPPORT: return "EPROTONOSUPPORT - Protocol not supported";
        default: return "unknown";
    }
}

// Same reasoning as for errno: the cases are the signal macros of this system. SIGEMT and SIGINFO do
// not exist everywhere (not on Linux); where they are missing their numbers belong to other signals.
const char* strForSignal(int signal) {
    switch (signal) {
        case SIGHUP: return "HangUP";
        case SIGINT: return "INTerrupt";
        case SIGQUIT: return "QUIT";
        case SIGILL: return "ILLegal instruction";
        case SIGTRAP: return "trace TRAP";
        case SIGABRT: return "ABoRT";
        case SIGFPE: return "Floating Point Exception";
        case SIGKILL: return "KILL";
        case SIGBUS: return "BUS error";
        case SIGSEGV: return "SEGmentation Violation";
        case SIGSYS: return "bad argument to SYStem call";
        case SIGPIPE: return "write on a PIPE with no one to read it";
        case SIGALRM: return "ALaRM clock";
        case SIGTERM: return "software TERMination signal from kill";
        case SIGURG: return "URGent condition on IO channel";
        case SIGSTOP: return "sendable STOP signal not from tty";
        case SIGTSTP: return "Tty SToP signal";
        case SIGCONT: return "CONTinue a stopped process";
        case SIGCHLD: return "to parent on CHiLD stop or exit";
        case SIGTTIN: return "to readers pgrp upon background TTy read IN";
        case SIGTTOU: return "like TTin for OUtput";
        case SIGIO: return "Input/Output possible signal";
        case SIGXCPU: return "eXceeded CPU time limit";
        case SIGXFSZ: return "eXceeded File SiZe limit";
        case SIGVTALRM: return "Virtual Time ALaRM";
        case SIGPROF: return "PROFiling time alarm";
        case SIGWINCH: return "WINdow size CHanges";
#ifdef SIGINFO
        case SIGINFO: return "INFOrmation request";
#endif
        case SIGUSR1: return "USeR 1";
        case SIGUSR2: return "USeR 2";
        default: return "unknown";
    }
}

const char* strForCFStreamStatus(long status) {
    switch (status) {
        case 0: return "kCFStreamStatusNotOpen";
        case 1: return "kCFStreamStatusOpening";
        case 2: return "kCFStreamStatusOpen";
        case 3: return "kCFStreamStatusReading";
        case 4: return "kCFStreamStatusWriting";
        case 5: return "kCFStreamStatusAtEnd";
        case 6: return "kCFStreamStatusClosed";
        case 7: return "kCFStreamStatusError";
        default: return "kCFStreamStatusUnknown";
    }
}

const char* strForCFEventType(unsigned long event) {
    switch (event) {
        case 0: return "kCFStreamEventNone";
        case 1: return "kCFStreamEventOpenCompleted";
        case 2: return "kCFStreamEventHasBytesAvailable";
        case 4: return "kCFStreamEventCanAcceptBytes";
        case 8: return "kCFStreamEventErrorOccurred";
        case 16: return "kCFStreamEventEndEncountered";
        default: return "kCFStreamEventUnknown";
    }
}
