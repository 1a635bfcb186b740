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

// Every named result code with the raw value it must have (the constants are checked too, since the
// USB layer hands them out).
const std::vector<std::pair<uint32_t, const char*>> kNamedReturns = {
    {0xE0000001, "kIOReturnInvalid"},         {0xE00002BD, "kIOReturnNoMemory"},
    {0xE00002BE, "kIOReturnNoResources"},     {0xE00002BF, "kIOReturnIPCError"},
    {0xE00002C0, "kIOReturnNoDevice"},        {0xE00002C1, "kIOReturnNotPrivileged"},
    {0xE00002C2, "kIOReturnBadArgument"},     {0xE00002C3, "kIOReturnLockedRead"},
    {0xE00002C4, "kIOReturnLockedWrite"},     {0xE00002C5, "kIOReturnExclusiveAccess"},
    {0xE00002D2, "kIOReturnStillOpen"},       {0xE00002D6, "kIOReturnTimeout"},
    {0xE00002E7, "kIOReturnUnderrun"},        {0xE00002E8, "kIOReturnOverrun"},
    {0xE00002E9, "kIOReturnDeviceError"},     {0xE00002EA, "kIOReturnNoCompletion"},
    {0xE00002EB, "kIOReturnAborted"},         {0xE00002EC, "kIOReturnNoBandwidth"},
    {0xE00002ED, "kIOReturnNotResponding"},   {0xE00002F0, "kIOReturnNotFound"},
    {0xE0004001, "kIOUSBCRCErr"},             {0xE0004002, "kIOUSBBitstufErr"},
    {0xE0004003, "kIOUSBDataToggleErr"},      {0xE0004006, "kIOUSBPIDCheckErr"},
    {0xE0004007, "kIOUSBWrongPIDErr"},        {0xE000400A, "kIOUSBReserved1Err"},
    {0xE000400B, "kIOUSBReserved2Err"},       {0xE000400C, "kIOUSBBufferOverrunErr"},
    {0xE000400D, "kIOUSBBufferUnderrunErr"},  {0xE000400E, "kIOUSBNotSent1Err"},
    {0xE000400F, "kIOUSBNotSent2Err"},        {0xE0004010, "kIOUSBLinkErr"},
    {0xE000404B, "kIOUSBHighSpeedSplitError"},
    {0xE000404C, "kIOUSBLowLatencyFrameListNotPreviouslyAllocated"},
    {0xE000404D, "kIOUSBLowLatencyBufferNotPreviouslyAllocated"},
    {0xE000404E, "kIOUSBInterfaceNotFound"},  {0xE000404F, "kIOUSBPipeStalled"},
    {0xE0004050, "kIOUSBTransactionReturned"}, {0xE0004051, "kIOUSBTransactionTimeout"},
    {0xE0004056, "kIOUSBConfigNotFound"},     {0xE0004057, "kIOUSBEndpointNotFound"},
    {0xE000405D, "kIOUSBNotEnoughPowerErr"},  {0xE000405E, "kIOUSBNotEnoughPipesErr"},
    {0xE000405F, "kIOUSBNoAsyncPortErr"},     {0xE0004060, "kIOUSBTooManyPipesErr"},
    {0xE0004061, "kIOUSBUnknownPipeErr"},
};

TEST(CodeNames, EveryNamedReturnCodeHasItsNameAndNeighboursOutsideTheRunsDoNot) {
    std::set<uint32_t> named;
    for (const auto& [code, name] : kNamedReturns) {
        EXPECT_STREQ(strForIOReturn(static_cast<IOReturn>(code)), name) << std::hex << code;
        named.insert(code);
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
}

TEST(CodeNames, ReturnConstantsCarryThePlatformValues) {
    EXPECT_EQ(kIOReturnSuccess, 0);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnError), 0xE00002BCu);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnExclusiveAccess), 0xE00002C5u);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnBadArgument), 0xE00002C2u);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnOverrun), 0xE00002E8u);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnUnderrun), 0xE00002E7u);
    EXPECT_EQ(static_cast<uint32_t>(kIOReturnNotResponding), 0xE00002EDu);
    EXPECT_EQ(static_cast<uint32_t>(kIOUSBPipeStalled), 0xE000404Fu);
    EXPECT_EQ(static_cast<uint32_t>(kIOUSBTransactionTimeout), 0xE0004051u);
    EXPECT_LT(kIOReturnError, 0);  // signed: failures are negative numbers
    // Name and constant agree for every listed code.
    EXPECT_STREQ(strForIOReturn(kIOReturnStillOpen), "kIOReturnStillOpen");
    EXPECT_STREQ(strForIOReturn(kIOUSBLowLatencyBufferNotPreviouslyAllocated),
                 "kIOUSBLowLatencyBufferNotPreviouslyAllocated");
    EXPECT_STREQ(strForIOReturn(kIOUSBUnknownPipeErr), "kIOUSBUnknownPipeErr");
}

TEST(CodeNames, InterestMessages) {
    const std::vector<std::pair<uint32_t, const char*>> messages = {
        {kIOMessageServiceIsTerminated, "kIOMessageServiceIsTerminated"},
        {kIOMessageServiceIsSuspended, "kIOMessageServiceIsSuspended"},
        {kIOMessageServiceIsResumed, "kIOMessageServiceIsResumed"},
        {kIOMessageServiceIsRequestingClose, "kIOMessageServiceIsRequestingClose"},
        {kIOMessageServiceIsAttemptingOpen, "kIOMessageServiceIsAttemptingOpen"},
        {kIOMessageServiceWasClosed, "kIOMessageServiceWasClosed"},
        {kIOMessageServiceBusyStateChange, "kIOMessageServiceBusyStateChange"},
        {kIOMessageServicePropertyChange, "kIOMessageServicePropertyChange"},
        {kIOMessageCanDevicePowerOff, "kIOMessageCanDevicePowerOff"},
        {kIOMessageDeviceWillPowerOff, "kIOMessageDeviceWillPowerOff"},
        {kIOMessageDeviceWillNotPowerOff, "kIOMessageDeviceWillNotPowerOff"},
        {kIOMessageDeviceHasPoweredOn, "kIOMessageDeviceHasPoweredOn"},
        {kIOMessageCanSystemPowerOff, "kIOMessageCanSystemPowerOff"},
        {kIOMessageSystemWillPowerOff, "kIOMessageSystemWillPowerOff"},
        {kIOMessageSystemWillNotPowerOff, "kIOMessageSystemWillNotPowerOff"},
        {kIOMessageCanSystemSleep, "kIOMessageCanSystemSleep"},
        {kIOMessageSystemWillSleep, "kIOMessageSystemWillSleep"},
        {kIOMessageSystemWillNotSleep, "kIOMessageSystemWillNotSleep"},
        {kIOMessageSystemHasPoweredOn, "kIOMessageSystemHasPoweredOn"},
        {kIOMessageSystemWillRestart, "kIOMessageSystemWillRestart"},
        {kIOMessageSystemWillPowerOn, "kIOMessageSystemWillPowerOn"},
        {kIOMessageCopyClientID, "kIOMessageCopyClientID"},
        {0xE000400Du, "kIOUSBBufferUnderrunErr"},
    };
    for (const auto& [code, name] : messages) EXPECT_STREQ(strForIOMessage(code), name) << std::hex << code;
    EXPECT_EQ(kIOMessageServiceIsTerminated, 0xE0000010u);
    EXPECT_EQ(kIOMessageServiceIsAttemptingOpen, 0xE0000101u);
    EXPECT_EQ(kIOMessageServiceWasClosed, 0xE0000110u);
    EXPECT_EQ(kIOMessageServiceBusyStateChange, 0xE0000120u);
    EXPECT_EQ(kIOMessageCopyClientID, 0xE0000330u);
    for (uint32_t code : {0xE0000000u, 0xE0000011u, 0xE000000Fu, 0xE0000102u, 0xE0000331u, 0xE000400Cu, 0u}) {
        EXPECT_STREQ(strForIOMessage(code), "kIOMessageUnknown") << std::hex << code;
    }
}

TEST(CodeNames, ErrnoNamesFollowThisSystemsNumbers) {
    EXPECT_STREQ(strForErrno(EPERM), "EPERM - Operation not permitted");
    EXPECT_STREQ(strForErrno(ENOENT), "ENOENT - No such file or directory");
    EXPECT_STREQ(strForErrno(EBUSY), "EBUSY - Device / Resource busy");
    EXPECT_STREQ(strForErrno(EAGAIN), "EAGAIN - Resource temporarily unavailable; Operation would block");
    EXPECT_STREQ(strForErrno(EDEADLK), "EDEADLK - Resource deadlock avoided");
    EXPECT_STREQ(strForErrno(EPROTONOSUPPORT), "EPROTONOSUPPORT - Protocol not supported");
    EXPECT_STREQ(strForErrno(0), "unknown");
    EXPECT_STREQ(strForErrno(-1), "unknown");
    EXPECT_STREQ(strForErrno(44), "unknown");  // not in the classic list on any system
    EXPECT_STREQ(strForErrno(ENOTEMPTY), "unknown");
    // The name always begins with the macro that the number stands for here.
    const std::vector<std::pair<int, const char*>> byName = {
        {ENXIO, "ENXIO"}, {ENOMEM, "ENOMEM"}, {EACCES, "EACCES"}, {ENODEV, "ENODEV"}, {EINVAL, "EINVAL"},
        {ENOSPC, "ENOSPC"}, {EPIPE, "EPIPE"}, {ERANGE, "ERANGE"}, {EINPROGRESS, "EINPROGRESS"},
        {ENOTSOCK, "ENOTSOCK"}, {EMSGSIZE, "EMSGSIZE"}, {ENOPROTOOPT, "ENOPROTOOPT"}};
    for (const auto& [number, name] : byName) {
        std::string text = strForErrno(number);
        EXPECT_EQ(text.substr(0, text.find(' ')), name) << number;
    }
}

TEST(CodeNames, SignalDescriptions) {
    EXPECT_STREQ(strForSignal(SIGHUP), "HangUP");
    EXPECT_STREQ(strForSignal(SIGABRT), "ABoRT");
    EXPECT_STREQ(strForSignal(SIGFPE), "Floating Point Exception");
    EXPECT_STREQ(strForSignal(SIGBUS), "BUS error");
    EXPECT_STREQ(strForSignal(SIGSEGV), "SEGmentation Violation");
    EXPECT_STREQ(strForSignal(SIGCHLD), "to parent on CHiLD stop or exit");
    EXPECT_STREQ(strForSignal(SIGSTOP), "sendable STOP signal not from tty");
    EXPECT_STREQ(strForSignal(SIGTSTP), "Tty SToP signal");
    EXPECT_STREQ(strForSignal(SIGUSR1), "USeR 1");
    EXPECT_STREQ(strForSignal(SIGUSR2), "USeR 2");
    EXPECT_STREQ(strForSignal(SIGWINCH), "WINdow size CHanges");
    EXPECT_STREQ(strForSignal(0), "unknown");
    EXPECT_STREQ(strForSignal(32), "unknown");
    EXPECT_STREQ(strForSignal(-1), "unknown");
#ifdef __linux__
    EXPECT_STREQ(strForSignal(SIGSTKFLT), "unknown");  // no classic name
    EXPECT_STREQ(strForSignal(SIGPWR), "unknown");
#endif
}

TEST(CodeNames, StreamStatusAndEvents) {
    const char* statuses[] = {"kCFStreamStatusNotOpen", "kCFStreamStatusOpening", "kCFStreamStatusOpen",
                              "kCFStreamStatusReading", "kCFStreamStatusWriting", "kCFStreamStatusAtEnd",
                              "kCFStreamStatusClosed",  "kCFStreamStatusError"};
    for (long i = 0; i < 8; ++i) EXPECT_STREQ(strForCFStreamStatus(i), statuses[i]);
    EXPECT_STREQ(strForCFStreamStatus(8), "kCFStreamStatusUnknown");
    EXPECT_STREQ(strForCFStreamStatus(-1), "kCFStreamStatusUnknown");

    EXPECT_STREQ(strForCFEventType(0), "kCFStreamEventNone");
    EXPECT_STREQ(strForCFEventType(1), "kCFStreamEventOpenCompleted");
    EXPECT_STREQ(strForCFEventType(2), "kCFStreamEventHasBytesAvailable");
    EXPECT_STREQ(strForCFEventType(4), "kCFStreamEventCanAcceptBytes");
    EXPECT_STREQ(strForCFEventType(8), "kCFStreamEventErrorOccurred");
    EXPECT_STREQ(strForCFEventType(16), "kCFStreamEventEndEncountered");
    for (unsigned long e : {3ul, 5ul, 15ul, 17ul, 32ul}) EXPECT_STREQ(strForCFEventType(e), "kCFStreamEventUnknown");
}

}  // namespace
