#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/CodeNames.h"
#include "support/IOReturnCodes.h"

namespace {

struct Named { uint32_t constant, raw; const char* name; };
// Each listed constant with the raw platform value it must carry and the name it must be given.
#define NAMED(constant, raw) Named{static_cast<uint32_t>(constant), raw, #constant}

const Named kNamedReturns[] = {
    NAMED(kIOReturnInvalid, 0xE0000001),         NAMED(kIOReturnNoMemory, 0xE00002BD),
    NAMED(kIOReturnNoResources, 0xE00002BE),     NAMED(kIOReturnIPCError, 0xE00002BF),
    NAMED(kIOReturnNoDevice, 0xE00002C0),        NAMED(kIOReturnNotPrivileged, 0xE00002C1),
    NAMED(kIOReturnBadArgument, 0xE00002C2),     NAMED(kIOReturnLockedRead, 0xE00002C3),
    NAMED(kIOReturnLockedWrite, 0xE00002C4),     NAMED(kIOReturnExclusiveAccess, 0xE00002C5),
    NAMED(kIOReturnStillOpen, 0xE00002D2),       NAMED(kIOReturnTimeout, 0xE00002D6),
    NAMED(kIOReturnUnderrun, 0xE00002E7),        NAMED(kIOReturnOverrun, 0xE00002E8),
    NAMED(kIOReturnDeviceError, 0xE00002E9),     NAMED(kIOReturnNoCompletion, 0xE00002EA),
    NAMED(kIOReturnAborted, 0xE00002EB),         NAMED(kIOReturnNoBandwidth, 0xE00002EC),
    NAMED(kIOReturnNotResponding, 0xE00002ED),   NAMED(kIOReturnNotFound, 0xE00002F0),
    NAMED(kIOUSBCRCErr, 0xE0004001),             NAMED(kIOUSBBitstufErr, 0xE0004002),
    NAMED(kIOUSBDataToggleErr, 0xE0004003),      NAMED(kIOUSBPIDCheckErr, 0xE0004006),
    NAMED(kIOUSBWrongPIDErr, 0xE0004007),        NAMED(kIOUSBReserved1Err, 0xE000400A),
    NAMED(kIOUSBReserved2Err, 0xE000400B),       NAMED(kIOUSBBufferOverrunErr, 0xE000400C),
    NAMED(kIOUSBBufferUnderrunErr, 0xE000400D),  NAMED(kIOUSBNotSent1Err, 0xE000400E),
    NAMED(kIOUSBNotSent2Err, 0xE000400F),        NAMED(kIOUSBLinkErr, 0xE0004010),
    NAMED(kIOUSBHighSpeedSplitError, 0xE000404B),
    NAMED(kIOUSBLowLatencyFrameListNotPreviouslyAllocated, 0xE000404C),
    NAMED(kIOUSBLowLatencyBufferNotPreviouslyAllocated, 0xE000404D),
    NAMED(kIOUSBInterfaceNotFound, 0xE000404E),  NAMED(kIOUSBPipeStalled, 0xE000404F),
    NAMED(kIOUSBTransactionReturned, 0xE0004050), NAMED(kIOUSBTransactionTimeout, 0xE0004051),
    NAMED(kIOUSBConfigNotFound, 0xE0004056),     NAMED(kIOUSBEndpointNotFound, 0xE0004057),
    NAMED(kIOUSBNotEnoughPowerErr, 0xE000405D),  NAMED(kIOUSBNotEnoughPipesErr, 0xE000405E),
    NAMED(kIOUSBNoAsyncPortErr, 0xE000405F),     NAMED(kIOUSBTooManyPipesErr, 0xE0004060),
    NAMED(kIOUSBUnknownPipeErr, 0xE0004061),
};

TEST(CodeNames, EveryNamedReturnCodeHasItsValueAndNameAndNeighboursOutsideTheRunsDoNot) {
    std::set<uint32_t> named;
    for (const auto& c : kNamedReturns) {
        EXPECT_EQ(c.constant, c.raw) << c.name;
        EXPECT_STREQ(strForIOReturn(static_cast<IOReturn>(c.raw)), c.name) << std::hex << c.raw;
        named.insert(c.raw);
    }
    // Gaps between and around the runs must fall back to the generic name.
    for (uint32_t code : {0xE0000000u, 0xE0000002u, 0xE00002BCu, 0xE00002C6u, 0xE00002D1u, 0xE00002D3u,
                          0xE00002D5u, 0xE00002D7u, 0xE00002E6u, 0xE00002EEu, 0xE00002EFu, 0xE00002F1u,
                          0xE0004000u, 0xE0004004u, 0xE0004005u, 0xE0004008u, 0xE0004009u, 0xE0004011u,
                          0xE000404Au, 0xE0004052u, 0xE0004055u, 0xE0004058u, 0xE000405Cu, 0xE0004062u,
                          0x1u, 0xFFFFFFFFu}) {
        ASSERT_FALSE(named.count(code));
        EXPECT_STREQ(strForIOReturn(static_cast<IOReturn>(code)), "kIOReturnError") << std::hex << code;
    }
    EXPECT_STREQ(strForIOReturn(0), "kIOReturnSuccess");
    EXPECT_EQ(kIOReturnSuccess, 0);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnError), 0xE00002BCu);
    EXPECT_LT(kIOReturnError, 0);  // signed: failures are negative numbers
}

TEST(CodeNames, InterestMessages) {
    const Named messages[] = {
        NAMED(kIOMessageServiceIsTerminated, 0xE0000010),   NAMED(kIOMessageServiceIsSuspended, 0xE0000020),
        NAMED(kIOMessageServiceIsResumed, 0xE0000030),      NAMED(kIOMessageServiceIsRequestingClose, 0xE0000100),
        NAMED(kIOMessageServiceIsAttemptingOpen, 0xE0000101), NAMED(kIOMessageServiceWasClosed, 0xE0000110),
        NAMED(kIOMessageServiceBusyStateChange, 0xE0000120), NAMED(kIOMessageServicePropertyChange, 0xE0000130),
        NAMED(kIOMessageCanDevicePowerOff, 0xE0000200),     NAMED(kIOMessageDeviceWillPowerOff, 0xE0000210),
        NAMED(kIOMessageDeviceWillNotPowerOff, 0xE0000220), NAMED(kIOMessageDeviceHasPoweredOn, 0xE0000230),
        NAMED(kIOMessageCanSystemPowerOff, 0xE0000240),     NAMED(kIOMessageSystemWillPowerOff, 0xE0000250),
        NAMED(kIOMessageSystemWillNotPowerOff, 0xE0000260), NAMED(kIOMessageCanSystemSleep, 0xE0000270),
        NAMED(kIOMessageSystemWillSleep, 0xE0000280),       NAMED(kIOMessageSystemWillNotSleep, 0xE0000290),
        NAMED(kIOMessageSystemHasPoweredOn, 0xE0000300),    NAMED(kIOMessageSystemWillRestart, 0xE0000310),
        NAMED(kIOMessageSystemWillPowerOn, 0xE0000320),     NAMED(kIOMessageCopyClientID, 0xE0000330),
        NAMED(kIOUSBBufferUnderrunErr, 0xE000400D)};
    for (const auto& c : messages) {
        EXPECT_EQ(c.constant, c.raw) << c.name;
        EXPECT_STREQ(strForIOMessage(c.raw), c.name) << std::hex << c.raw;
    }
    for (uint32_t code : {0xE0000000u, 0xE0000011u, 0xE000000Fu, 0xE0000102u, 0xE0000331u, 0xE000400Cu, 0u})
        EXPECT_STREQ(strForIOMessage(code), "kIOMessageUnknown") << std::hex << code;
}

TEST(CodeNames, ErrnoNamesFollowThisSystemsNumbers) {
    const std::pair<int, const char*> texts[] = {
        {EPERM, "EPERM - Operation not permitted"}, {ENOENT, "ENOENT - No such file or directory"},
        {EBUSY, "EBUSY - Device / Resource busy"},
        {EAGAIN, "EAGAIN - Resource temporarily unavailable; Operation would block"},
        {EDEADLK, "EDEADLK - Resource deadlock avoided"}, {EPROTONOSUPPORT, "EPROTONOSUPPORT - Protocol not supported"},
        {0, "unknown"}, {-1, "unknown"}, {44, "unknown"} /* in no classic list */, {ENOTEMPTY, "unknown"}};
    for (const auto& [number, text] : texts) EXPECT_STREQ(strForErrno(number), text) << number;
    // The name always begins with the macro that the number stands for here.
    const std::pair<int, const char*> byName[] = {
        {ENXIO, "ENXIO"}, {ENOMEM, "ENOMEM"}, {EACCES, "EACCES"}, {ENODEV, "ENODEV"}, {EINVAL, "EINVAL"},
        {ENOSPC, "ENOSPC"}, {EPIPE, "EPIPE"}, {ERANGE, "ERANGE"}, {EINPROGRESS, "EINPROGRESS"},
        {ENOTSOCK, "ENOTSOCK"}, {EMSGSIZE, "EMSGSIZE"}, {ENOPROTOOPT, "ENOPROTOOPT"}};
    for (const auto& [number, name] : byName) {
        std::string text = strForErrno(number);
        EXPECT_EQ(text.substr(0, text.find(' ')), name) << number;
    }
}

TEST(CodeNames, SignalDescriptions) {
    const std::pair<int, const char*> signals[] = {
        {SIGHUP, "HangUP"}, {SIGABRT, "ABoRT"}, {SIGFPE, "Floating Point Exception"}, {SIGBUS, "BUS error"},
        {SIGSEGV, "SEGmentation Violation"}, {SIGCHLD, "to parent on CHiLD stop or exit"},
        {SIGSTOP, "sendable STOP signal not from tty"}, {SIGTSTP, "Tty SToP signal"}, {SIGUSR1, "USeR 1"},
        {SIGUSR2, "USeR 2"}, {SIGWINCH, "WINdow size CHanges"}, {0, "unknown"}, {32, "unknown"}, {-1, "unknown"},
#ifdef __linux__
        {SIGSTKFLT, "unknown"}, {SIGPWR, "unknown"},  // no classic name
#endif
    };
    for (const auto& [number, name] : signals) EXPECT_STREQ(strForSignal(number), name) << number;
}

TEST(CodeNames, StreamStatusAndEvents) {
    const char* statuses[] = {"kCFStreamStatusNotOpen", "kCFStreamStatusOpening", "kCFStreamStatusOpen",
                              "kCFStreamStatusReading", "kCFStreamStatusWriting", "kCFStreamStatusAtEnd",
                              "kCFStreamStatusClosed",  "kCFStreamStatusError"};
    for (long i = 0; i < 8; ++i) EXPECT_STREQ(strForCFStreamStatus(i), statuses[i]);
    EXPECT_STREQ(strForCFStreamStatus(8), "kCFStreamStatusUnknown");
    EXPECT_STREQ(strForCFStreamStatus(-1), "kCFStreamStatusUnknown");

    const char* events[] = {"kCFStreamEventNone", "kCFStreamEventOpenCompleted", "kCFStreamEventHasBytesAvailable",
                            "kCFStreamEventCanAcceptBytes", "kCFStreamEventErrorOccurred",
                            "kCFStreamEventEndEncountered"};
    EXPECT_STREQ(strForCFEventType(0), events[0]);
    for (int bit = 0; bit < 5; ++bit) EXPECT_STREQ(strForCFEventType(1ul << bit), events[bit + 1]);
    for (unsigned long e : {3ul, 5ul, 15ul, 17ul, 32ul}) EXPECT_STREQ(strForCFEventType(e), "kCFStreamEventUnknown");
}

}  // namespace
