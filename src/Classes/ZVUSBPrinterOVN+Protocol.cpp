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

void ZVUSBPrinterOVN::discardStaleReplyBytes() {
    InterfacePtr interface = interfaceInterface();
    if (!interface) return;
    // A short wait per read: the stale bytes are already there or about to come. Bounded, so that a printer
    // that never stops talking cannot hold the queue.
    constexpr uint32_t kDrainTimeoutMs = 50;
    constexpr int kMaxDrainReads = 16;
    std::vector<uint8_t> sink(4096 + 8);
    size_t dropped = 0;
    for (int i = 0; i < kMaxDrainReads; ++i) {
        uint32_t size = static_cast<uint32_t>(sink.size());
        IOReturn status = interface->ReadPipeTO(bulkIN(), sink.data(), &size, kDrainTimeoutMs, kDrainTimeoutMs);
        if (status != kIOReturnSuccess || size == 0) break;
        dropped += size;
    }
    if (dropped > 0) SysLog("dropped %zu stale reply bytes on %s", dropped, descriptionUTF8().c_str());
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
    int reads = 0;
    bool headerIsNumber = true;
    proto::ReplyReadResult result =
        proto::readReply([&interface, pipe, &reads, &headerIsNumber](uint8_t* buffer, uint32_t* size) -> IOReturn {
            if (!interface) {
                // The device has gone: there is nothing to read from.
                *size = 0;
                return kIOReturnNoDevice;
            }
            IOReturn status = interface->ReadPipeTO(pipe, buffer, size, proto::kPipeTimeoutMs, proto::kPipeTimeoutMs);
            if (reads++ == 0 && status == kIOReturnSuccess)
                headerIsNumber = *size == 8 && std::all_of(buffer, buffer + 8, [](uint8_t c) { return c >= '0' && c <= '9'; });
            return status;
        });
    setReadStatus(result.readStatus);
    // Whatever is left in the pipe would be taken for the answer to the next query.
    if (result.outcome != proto::ReplyOutcome::Value || !headerIsNumber) discardStaleReplyBytes();

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
