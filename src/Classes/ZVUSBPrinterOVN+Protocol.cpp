// Command frames out, replies in. Both run on the printer's command queue and block on the bulk pipes.
#include <algorithm>
#include <string>

#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Localization.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"
#include "support/QELMOR_Log.h"

using ovn::SysLog;
namespace proto = ovn::protocol;

namespace {

// The localised "Internal error L%d" with the line number put in. The number replaces the "%d" as text, so
// that a translation is never used as a format.
std::string internalErrorText(int line) {
    std::string text = ovn::Localized("Internal error L%d");
    auto pos = text.find("%d");
    if (pos == std::string::npos) return text + " " + std::to_string(line);
    return text.replace(pos, 2, std::to_string(line));
}

}  // namespace

ZVUSBPrinter::Text ZVUSBPrinterOVN::stringForCommandCode(uint32_t code) { return proto::stringForCommandCode(code); }

void ZVUSBPrinterOVN::errorWithString(const std::string&, long) {}

void ZVUSBPrinterOVN::raiseInternalError(int line) { errorWithString(internalErrorText(line), 0); }

void ZVUSBPrinterOVN::sendPrinterCommand(uint32_t code, std::span<const uint8_t> payload) {
    sendPrinterCommand(code, proto::FramedPayload(payload));
}

void ZVUSBPrinterOVN::sendPrinterCommand(uint32_t code, proto::FramedPayload&& payload) {
    proto::FrameBuildResult frame = proto::buildCommandFrame(code, std::move(payload));
    for (int line : frame.internalErrors) raiseInternalError(line);
    if (!frame.sendable) return;

    SysLog("sending printer command %s with payload size %u",
           frame.commandText.empty() ? "(null)" : frame.commandText.c_str(),
           static_cast<unsigned>(frame.payloadFieldSize));
    QELMOR_Log::logData(std::span<const uint8_t>(frame.frame).first(std::min(proto::kFrameLogBytes, frame.frame.size())));

    if (!writeToInterfaceWithData(frame.frame)) {
        IOReturn status = writeStatus();
        SysLog("ERROR: writeToInterfaceWithData: [%x] (%s)", static_cast<unsigned>(status), strForIOReturn(status));
        errorWithString(ovn::Localized("Communication error"), 0);
    }
}

ZVUSBPrinter::PrinterReply ZVUSBPrinterOVN::printerReply() {
    InterfacePtr interface = interfaceInterface();
    const uint8_t pipe = bulkIN();
    proto::ReplyReadResult result = proto::readReply([&interface, pipe](uint8_t* buffer, uint32_t* size) -> IOReturn {
        if (!interface) {
            // The device has gone: there is nothing to read from.
            *size = 0;
            return kIOReturnNoDevice;
        }
        return interface->ReadPipeTO(pipe, buffer, size, proto::kPipeTimeoutMs, proto::kPipeTimeoutMs);
    });
    setReadStatus(result.readStatus);

    const std::string description = descriptionUTF8();
    SysLog("reading backchannel for %u bytes on %s", result.headerBytes, description.c_str());
    switch (result.outcome) {
        case proto::ReplyOutcome::Value:
            return std::move(result.value);
        case proto::ReplyOutcome::BodyTooLong:
            raiseInternalError(proto::kInternalErrorReplyTooLong);
            return std::nullopt;
        case proto::ReplyOutcome::HeaderReadFailed:
        case proto::ReplyOutcome::BodyReadFailed:
            SysLog("bad read (%s) on backchannel of %s", strForIOReturn(result.readStatus), description.c_str());
            return std::nullopt;
    }
    return std::nullopt;
}
