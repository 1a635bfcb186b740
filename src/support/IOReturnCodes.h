// Result codes of the USB device services and the interest-message codes that the printer objects
// receive. The values are those of the platform's own constants, so that log lines and code names
// read the same everywhere; the USB layer maps its own failures onto them.
#pragma once

#include <cstdint>

using IOReturn = int32_t;

// General result codes.
constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnInvalid = static_cast<IOReturn>(0xE0000001u);
constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BCu);
constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BDu);
constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xE00002BEu);
constexpr IOReturn kIOReturnIPCError = static_cast<IOReturn>(0xE00002BFu);
constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0u);
constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xE00002C1u);
constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2u);
constexpr IOReturn kIOReturnLockedRead = static_cast<IOReturn>(0xE00002C3u);
constexpr IOReturn kIOReturnLockedWrite = static_cast<IOReturn>(0xE00002C4u);
constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5u);
constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7u);
constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CDu);
constexpr IOReturn kIOReturnStillOpen = static_cast<IOReturn>(0xE00002D2u);
constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6u);
constexpr IOReturn kIOReturnUnderrun = static_cast<IOReturn>(0xE00002E7u);
constexpr IOReturn kIOReturnOverrun = static_cast<IOReturn>(0xE00002E8u);
constexpr IOReturn kIOReturnDeviceError = static_cast<IOReturn>(0xE00002E9u);
constexpr IOReturn kIOReturnNoCompletion = static_cast<IOReturn>(0xE00002EAu);
constexpr IOReturn kIOReturnAborted = static_cast<IOReturn>(0xE00002EBu);
constexpr IOReturn kIOReturnNoBandwidth = static_cast<IOReturn>(0xE00002ECu);
constexpr IOReturn kIOReturnNotResponding = static_cast<IOReturn>(0xE00002EDu);
constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0u);

// USB result codes.
constexpr IOReturn kIOUSBCRCErr = static_cast<IOReturn>(0xE0004001u);
constexpr IOReturn kIOUSBBitstufErr = static_cast<IOReturn>(0xE0004002u);
constexpr IOReturn kIOUSBDataToggleErr = static_cast<IOReturn>(0xE0004003u);
constexpr IOReturn kIOUSBPIDCheckErr = static_cast<IOReturn>(0xE0004006u);
constexpr IOReturn kIOUSBWrongPIDErr = static_cast<IOReturn>(0xE0004007u);
constexpr IOReturn kIOUSBReserved1Err = static_cast<IOReturn>(0xE000400Au);
constexpr IOReturn kIOUSBReserved2Err = static_cast<IOReturn>(0xE000400Bu);
constexpr IOReturn kIOUSBBufferOverrunErr = static_cast<IOReturn>(0xE000400Cu);
constexpr IOReturn kIOUSBBufferUnderrunErr = static_cast<IOReturn>(0xE000400Du);
constexpr IOReturn kIOUSBNotSent1Err = static_cast<IOReturn>(0xE000400Eu);
constexpr IOReturn kIOUSBNotSent2Err = static_cast<IOReturn>(0xE000400Fu);
constexpr IOReturn kIOUSBLinkErr = static_cast<IOReturn>(0xE0004010u);
constexpr IOReturn kIOUSBHighSpeedSplitError = static_cast<IOReturn>(0xE000404Bu);
constexpr IOReturn kIOUSBLowLatencyFrameListNotPreviouslyAllocated = static_cast<IOReturn>(0xE000404Cu);
constexpr IOReturn kIOUSBLowLatencyBufferNotPreviouslyAllocated = static_cast<IOReturn>(0xE000404Du);
constexpr IOReturn kIOUSBInterfaceNotFound = static_cast<IOReturn>(0xE000404Eu);
constexpr IOReturn kIOUSBPipeStalled = static_cast<IOReturn>(0xE000404Fu);
constexpr IOReturn kIOUSBTransactionReturned = static_cast<IOReturn>(0xE0004050u);
constexpr IOReturn kIOUSBTransactionTimeout = static_cast<IOReturn>(0xE0004051u);
constexpr IOReturn kIOUSBConfigNotFound = static_cast<IOReturn>(0xE0004056u);
constexpr IOReturn kIOUSBEndpointNotFound = static_cast<IOReturn>(0xE0004057u);
constexpr IOReturn kIOUSBNotEnoughPowerErr = static_cast<IOReturn>(0xE000405Du);
constexpr IOReturn kIOUSBNotEnoughPipesErr = static_cast<IOReturn>(0xE000405Eu);
constexpr IOReturn kIOUSBNoAsyncPortErr = static_cast<IOReturn>(0xE000405Fu);
constexpr IOReturn kIOUSBTooManyPipesErr = static_cast<IOReturn>(0xE0004060u);
constexpr IOReturn kIOUSBUnknownPipeErr = static_cast<IOReturn>(0xE0004061u);

// Interest-message codes delivered to a service's interest callback.
constexpr uint32_t kIOMessageServiceIsTerminated = 0xE0000010u;
constexpr uint32_t kIOMessageServiceIsSuspended = 0xE0000020u;
constexpr uint32_t kIOMessageServiceIsResumed = 0xE0000030u;
constexpr uint32_t kIOMessageServiceIsRequestingClose = 0xE0000100u;
constexpr uint32_t kIOMessageServiceIsAttemptingOpen = 0xE0000101u;
constexpr uint32_t kIOMessageServiceWasClosed = 0xE0000110u;
constexpr uint32_t kIOMessageServiceBusyStateChange = 0xE0000120u;
constexpr uint32_t kIOMessageServicePropertyChange = 0xE0000130u;
constexpr uint32_t kIOMessageCanDevicePowerOff = 0xE0000200u;
constexpr uint32_t kIOMessageDeviceWillPowerOff = 0xE0000210u;
constexpr uint32_t kIOMessageDeviceWillNotPowerOff = 0xE0000220u;
constexpr uint32_t kIOMessageDeviceHasPoweredOn = 0xE0000230u;
constexpr uint32_t kIOMessageCanSystemPowerOff = 0xE0000240u;
constexpr uint32_t kIOMessageSystemWillPowerOff = 0xE0000250u;
constexpr uint32_t kIOMessageSystemWillNotPowerOff = 0xE0000260u;
constexpr uint32_t kIOMessageCanSystemSleep = 0xE0000270u;
constexpr uint32_t kIOMessageSystemWillSleep = 0xE0000280u;
constexpr uint32_t kIOMessageSystemWillNotSleep = 0xE0000290u;
constexpr uint32_t kIOMessageSystemHasPoweredOn = 0xE0000300u;
constexpr uint32_t kIOMessageSystemWillRestart = 0xE0000310u;
constexpr uint32_t kIOMessageSystemWillPowerOn = 0xE0000320u;
constexpr uint32_t kIOMessageCopyClientID = 0xE0000330u;
